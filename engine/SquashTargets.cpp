#include "SquashTargets.h"

#include "Numbers.h"

using Numbers::leadingNumber;
using Numbers::roundHalfEven;

namespace SquashTargets {
namespace {

Refusal refusal(char message)
{
    switch (message) {
    case 'A':
        return {message, QStringLiteral("Invalid file size"),
                QStringLiteral("The specifed size must be between 100 to 2.147,483.647."), Box::UserSize};
    case 'B':
        return {message, QStringLiteral("Invalid percent"),
                QStringLiteral("The specifed percent must be between 1 to 100"), Box::UserSizePercent};
    case 'C':
        return {message, QStringLiteral("Invalid Width"), QStringLiteral("Width must be above 0"), Box::Width};
    case 'D':
        return {message, QStringLiteral("Invalid Height"), QStringLiteral("Height must be above 0"), Box::Height};
    case 'E':
        return {message, QStringLiteral("Invalid Width"), QStringLiteral("Width must be above 0."),
                Box::WidthPercent};
    default:
        return {'F', QStringLiteral("Invalid Height"), QStringLiteral("Height must be above 0."),
                Box::HeightPercent};
    }
}

using LK = LimitChoice::Kind;
using SK = SizeChoice::Kind;

} // namespace

Checked<LimitChoice> UserBytes(const QString &text)
{
    const double n = leadingNumber(text);
    if (n < 100 || n > 2147483647.0)
        return {{}, refusal('A')};
    return {{LK::Bytes, double(Numbers::toInt32(text))}, std::nullopt};
}

Checked<LimitChoice> UserPercent(const QString &text)
{
    const double n = leadingNumber(text);
    if (n < 1 || n > 100)
        return {{}, refusal('B')};
    return {{LK::Percent, Numbers::toDouble(text)}, std::nullopt};
}

Checked<SizeChoice> UserPixels(const QString &width, const QString &height)
{
    if (leadingNumber(width) == 0)
        return {{}, refusal('C')};
    if (leadingNumber(height) == 0)
        return {{}, refusal('D')};
    return {{SK::Pixels, double(Numbers::toFloat(width)), double(Numbers::toFloat(height))}, std::nullopt};
}

Checked<SizeChoice> UserPercentSize(const QString &width, const QString &height)
{
    if (leadingNumber(width) == 0)
        return {{}, refusal('E')};
    if (leadingNumber(height) == 0)
        return {{}, refusal('F')};
    return {{SK::Percent, Numbers::toDouble(width), Numbers::toDouble(height)}, std::nullopt};
}

LimitChoice BytePresetChoice(std::size_t preset) { return {LK::Bytes, double(BytePresets.at(preset).bytes)}; }
LimitChoice FractionChoice(std::size_t preset) { return {LK::Fraction, PercentPresets.at(preset) / 100.0}; }

SizeChoice SizePresetChoice(std::size_t preset)
{
    return {SK::Pixels, double(SizePresets.at(preset).width), double(SizePresets.at(preset).height)};
}

SizeChoice FractionSizeChoice(std::size_t preset)
{
    // Formed as a 32-bit float first, which holds 0.25, 0.5 and 0.75 exactly.
    const double f = double(float(PercentPresets.at(preset)) / 100.0f);
    return {SK::Fraction, f, f};
}

std::int32_t ByteLimitFor(const LimitChoice &choice, std::int32_t length)
{
    switch (choice.kind) {
    case LK::Bytes: return std::int32_t(choice.value);
    case LK::Fraction: return Numbers::roundToInt32(double(length) * choice.value);
    case LK::Percent: return Numbers::roundToInt32(choice.value * (double(length) / 100.0)) - 1;
    case LK::BelowOriginal: break;
    }
    return length - 1;
}

void SizeFor(const SizeChoice &choice, float pictureWidth, float pictureHeight, float &width, float &height)
{
    switch (choice.kind) {
    case SK::Pixels:
        width = float(choice.width);
        height = float(choice.height);
        return;
    case SK::Fraction:
        width = float(roundHalfEven(double(pictureWidth) * choice.width));
        height = float(roundHalfEven(double(pictureHeight) * choice.height));
        return;
    case SK::Percent:
        width = float(roundHalfEven(choice.width * (double(pictureWidth) / 100.0)));
        height = float(roundHalfEven(choice.height * (double(pictureHeight) / 100.0)));
        return;
    case SK::Original: break;
    }
    width = pictureWidth;
    height = pictureHeight;
}

Target TargetFor(const LimitChoice &limit, const SizeChoice &size, std::int32_t length, float pictureWidth,
                 float pictureHeight)
{
    Target t;
    t.bytes = ByteLimitFor(limit, length);
    SizeFor(size, pictureWidth, pictureHeight, t.width, t.height);
    return t;
}

Checked<LimitChoice> SizeOptionChoice(short index, const QString &txtUserSize, const QString &txtUserSizePercent)
{
    switch (index) {
    case 1: case 2: case 3: return {BytePresetChoice(std::size_t(index - 1)), std::nullopt};
    case 4: return UserBytes(txtUserSize);
    case 5: case 6: case 7: return {FractionChoice(std::size_t(index - 5)), std::nullopt};
    case 8: return UserPercent(txtUserSizePercent);
    default: return {};
    }
}

Checked<SizeChoice> ResizeOptionChoice(short index, const QString &txtWidth, const QString &txtHeight,
                                       const QString &txtWidthPercent, const QString &txtHeightPercent)
{
    switch (index) {
    case 1: case 2: return {SizePresetChoice(std::size_t(index - 1)), std::nullopt};
    case 3: return UserPixels(txtWidth, txtHeight);
    case 4: case 5: case 6: return {FractionSizeChoice(std::size_t(index - 4)), std::nullopt};
    case 7: return UserPercentSize(txtWidthPercent, txtHeightPercent);
    default: return {};
    }
}

ByteLimit ByteLimitRule(short index, std::int32_t length, const QString &txtUserSize,
                        const QString &txtUserSizePercent)
{
    const auto c = SizeOptionChoice(index, txtUserSize, txtUserSizePercent);
    if (c.refusal)
        return {0, c.refusal};
    return {ByteLimitFor(c.choice, length), std::nullopt};
}

TargetSize TargetSizeRule(short index, float pictureWidth, float pictureHeight, const QString &txtWidth,
                          const QString &txtHeight, const QString &txtWidthPercent,
                          const QString &txtHeightPercent)
{
    const auto c = ResizeOptionChoice(index, txtWidth, txtHeight, txtWidthPercent, txtHeightPercent);
    TargetSize r;
    if (c.refusal) {
        r.refusal = c.refusal;
        return r;
    }
    SizeFor(c.choice, pictureWidth, pictureHeight, r.width, r.height);
    return r;
}

} // namespace SquashTargets
