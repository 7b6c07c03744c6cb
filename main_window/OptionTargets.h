#pragma once

#include "SquashTargets.h"

#include <QString>
#include <optional>

// The window's two option arrays as the engine's typed targets: which
// choice each optSize and optResize index stands for (one table, feeding
// both the estimates shown and the squash), and which box a refused entry
// sends the focus to.
namespace OptionTargets {

constexpr short SizeOptionCount = 9;     // optSize
constexpr short ResizeOptionCount = 8;   // optResize

enum class Box { UserSize, UserSizePercent, Width, Height, WidthPercent, HeightPercent };

template <typename Choice>
struct Option
{
    Choice choice;
    std::optional<SquashTargets::Refusal> refusal;
    Box focus = Box::UserSize;   // where a refusal sends the focus
};

// The selected option with its boxes checked. A text whose leading number
// passes but which is not a number as a whole throws AppError 13 (6 when
// out of range).
Option<SquashTargets::LimitChoice> SizeOption(short index, const QString &txtUserSize, const QString &txtUserSizePercent);
Option<SquashTargets::SizeChoice> ResizeOption(short index, const QString &txtWidth, const QString &txtHeight,
                                               const QString &txtWidthPercent, const QString &txtHeightPercent);

// What the estimate boxes show for an option; none for an index out of
// range. A number that cannot be read throws (AppError 13 or 6).
std::optional<QString> EstimatedFileSize(short index, const QString &txtActualSize, const QString &txtUserSize,
                                         const QString &txtUserSizePercent);
// One side of the picture size: `side` 0 is the width, 1 the height.
std::optional<QString> EstimatedSide(short index, int side, const QString &actual, const QString &user,
                                     const QString &percent);

// The last index in 0..count-1 whose button is checked, 0 when none is.
template <typename OptionArray>
short GetSelectedOption(const OptionArray &options, short count)
{
    short selected = 0;
    for (short i = 0; i < count; ++i)
        if (options[i] && options[i]->isChecked())
            selected = i;
    return selected;
}

} // namespace OptionTargets
