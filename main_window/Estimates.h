#pragma once

#include <QString>
#include <optional>

// The live estimates of the two target frames: what each option would give
// for the sizes shown, as the text of the estimate box. A number that cannot
// be read throws (AppError 13 or 6), so that the box keeps its text; an
// option that shows nothing yet gives none.
namespace Estimates {

std::optional<QString> FileSize(short index, const QString &txtActualSize, const QString &txtUserSize,
                                const QString &txtUserSizePercent);

// One side of the picture size: `side` 0 is the width, 1 the height.
std::optional<QString> PictureSide(short index, int side, const QString &actual, const QString &user,
                                   const QString &percent);

} // namespace Estimates
