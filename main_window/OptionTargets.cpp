#include "OptionTargets.h"

#include "Numbers.h"

using namespace SquashTargets;

namespace OptionTargets {
namespace {

// The one table: what each index stands for; `typed` is the value of the
// option's own box, read by the caller.
LimitChoice limitFor(short index, double typed)
{
    switch (index) {
    case 1: case 2: case 3: return BytePresetChoice(std::size_t(index - 1));
    case 4: return {LimitChoice::Kind::Bytes, typed};
    case 5: case 6: case 7: return FractionChoice(std::size_t(index - 5));
    case 8: return {LimitChoice::Kind::Percent, typed};
    default: return {};
    }
}

SizeChoice sizeFor(short index, double typedWidth, double typedHeight)
{
    switch (index) {
    case 1: case 2: return SizePresetChoice(std::size_t(index - 1));
    case 3: return {SizeChoice::Kind::Pixels, typedWidth, typedHeight};
    case 4: case 5: case 6: return FractionSizeChoice(std::size_t(index - 4));
    case 7: return {SizeChoice::Kind::Percent, typedWidth, typedHeight};
    default: return {};
    }
}

template <typename Choice>
Option<Choice> option(const Checked<Choice> &checked, Box width, Box height)
{
    const bool second = checked.refusal && checked.refusal->side == Refusal::Side::Height;
    return {checked.choice, checked.refusal, second ? height : width};
}

} // namespace

Option<LimitChoice> SizeOption(short index, const QString &txtUserSize, const QString &txtUserSizePercent)
{
    if (index == 4)
        return option(UserBytes(txtUserSize), Box::UserSize, Box::UserSize);
    if (index == 8)
        return option(UserPercent(txtUserSizePercent), Box::UserSizePercent, Box::UserSizePercent);
    return {limitFor(index, 0), std::nullopt};
}

Option<SizeChoice> ResizeOption(short index, const QString &txtWidth, const QString &txtHeight,
                                const QString &txtWidthPercent, const QString &txtHeightPercent)
{
    if (index == 3)
        return option(UserPixels(txtWidth, txtHeight), Box::Width, Box::Height);
    if (index == 7)
        return option(UserPercentSize(txtWidthPercent, txtHeightPercent), Box::WidthPercent, Box::HeightPercent);
    return {sizeFor(index, 0, 0), std::nullopt};
}

std::optional<QString> EstimatedFileSize(short index, const QString &txtActualSize, const QString &txtUserSize,
                                         const QString &txtUserSizePercent)
{
    switch (index) {
    case 0: return txtActualSize;
    case 4: return txtUserSize;   // as typed, leading zeros and all
    case 1: case 2: case 3: return QString::number(ShownFileSize(limitFor(index, 0), 0));
    case 5: case 6: case 7: case 8: {
        const double percent = index == 8 ? Numbers::toDouble(txtUserSizePercent) : 0;
        return QString::number(ShownFileSize(limitFor(index, percent), Numbers::toDouble(txtActualSize)));
    }
    default: return std::nullopt;
    }
}

std::optional<QString> EstimatedSide(short index, int side, const QString &actual, const QString &user,
                                     const QString &percent)
{
    if (index < 0 || index >= ResizeOptionCount)
        return std::nullopt;
    if (index == 0)
        return actual;
    if (index == 3)
        return user;
    const double typed = index == 7 ? Numbers::toDouble(percent) : 0;
    const float own = index == 1 || index == 2 ? 0.0f : float(Numbers::toDouble(actual));
    double width = 0, height = 0;
    ShownSize(sizeFor(index, typed, typed), own, own, width, height);
    return QString::number(qint64(side == 0 ? width : height));
}

} // namespace OptionTargets
