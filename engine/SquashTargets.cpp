#include "SquashTargets.h"

#include "Numbers.h"

using Numbers::leadingNumber;
using Numbers::roundHalfEven;

namespace SquashTargets {
namespace {

using Side = Refusal::Side;

Refusal invalidSize() { return {QStringLiteral("Invalid file size"), QStringLiteral("The specifed size must be between 100 to 2.147,483.647.")}; }
Refusal invalidPercent() { return {QStringLiteral("Invalid percent"), QStringLiteral("The specifed percent must be between 1 to 100")}; }
// The typed pixel sizes' texts end without a full stop, the percentages' with one.
Refusal invalidWidth(bool stop) { return {QStringLiteral("Invalid Width"), QStringLiteral("Width must be above 0") + (stop ? "." : ""), Side::Width}; }
Refusal invalidHeight(bool stop) { return {QStringLiteral("Invalid Height"), QStringLiteral("Height must be above 0") + (stop ? "." : ""), Side::Height}; }

using LK = LimitChoice::Kind;
using SK = SizeChoice::Kind;

} // namespace

Checked<LimitChoice> UserBytes(const QString &text)
{
    const double n = leadingNumber(text);
    if (n < 100 || n > 2147483647.0)
        return {{}, invalidSize()};
    return {{LK::Bytes, double(Numbers::toInt32(text))}, std::nullopt};
}

Checked<LimitChoice> UserPercent(const QString &text)
{
    const double n = leadingNumber(text);
    if (n < 1 || n > 100)
        return {{}, invalidPercent()};
    return {{LK::Percent, Numbers::toDouble(text)}, std::nullopt};
}

Checked<SizeChoice> UserPixels(const QString &width, const QString &height)
{
    if (leadingNumber(width) == 0)
        return {{}, invalidWidth(false)};
    if (leadingNumber(height) == 0)
        return {{}, invalidHeight(false)};
    return {{SK::Pixels, double(Numbers::toFloat(width)), double(Numbers::toFloat(height))}, std::nullopt};
}

Checked<SizeChoice> UserPercentSize(const QString &width, const QString &height)
{
    if (leadingNumber(width) == 0)
        return {{}, invalidWidth(true)};
    if (leadingNumber(height) == 0)
        return {{}, invalidHeight(true)};
    return {{SK::Percent, Numbers::toDouble(width), Numbers::toDouble(height)}, std::nullopt};
}

LimitChoice BytePresetChoice(std::size_t preset) { return {LK::Bytes, double(BytePresets.at(preset))}; }
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

std::int32_t ShownFileSize(const LimitChoice &choice, double length)
{
    switch (choice.kind) {
    case LK::Bytes: return Numbers::roundToInt32(choice.value);
    case LK::Fraction: return Numbers::roundToInt32(length * choice.value);
    case LK::Percent: return Numbers::roundToInt32(choice.value * (length / 100.0));
    case LK::BelowOriginal: break;
    }
    return Numbers::roundToInt32(length);
}

std::int32_t ByteLimitFor(const LimitChoice &choice, std::int32_t length)
{
    // "No Resize" and a typed percentage stay one byte below the figure
    // shown, so that at 100% the file must come out smaller than the input.
    const bool below = choice.kind == LK::BelowOriginal || choice.kind == LK::Percent;
    return ShownFileSize(choice, double(length)) - (below ? 1 : 0);
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

void ShownSize(const SizeChoice &choice, float pictureWidth, float pictureHeight, double &width, double &height)
{
    if (choice.kind == SK::Percent) {
        width = roundHalfEven(choice.width * double(pictureWidth) / 100.0);
        height = roundHalfEven(choice.height * double(pictureHeight) / 100.0);
        return;
    }
    float w = 0, h = 0;
    SizeFor(choice, pictureWidth, pictureHeight, w, h);
    width = w;
    height = h;
}

} // namespace SquashTargets
