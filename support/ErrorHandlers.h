#pragma once

#include "AppError.h"
#include "MessageBoxes.h"

#include <functional>
#include <new>

// The three ways an event handler deals with failure.
namespace ErrorHandlers {

// Runs the body; any failure shows "Error N: description" (OK only, no title
// of its own) and ends the handler. Returns false when the body failed.
// onFailure, when given, runs with the error just before the box shows.
bool report(MessageBoxes &boxes, const std::function<void()> &body,
            const std::function<void(const AppError &)> &onFailure = {});

// Runs one statement, skipping it silently if it fails. Returns false when
// it was skipped.
bool skip(const std::function<void()> &statement);

// The picture-loading message: a file that is not a loadable picture,
// with the formats read (or text, which names them and a cause).
void showInvalidPicture(MessageBoxes &boxes);
void showInvalidPicture(MessageBoxes &boxes, const QString &text);

inline const QString &invalidPictureText()
{
    static const QString text =
        QStringLiteral("Unable to load the picture, it needs to be in GIF, JPEG, BMP, PNG, WebP, TIFF, or HEIC format");
    return text;
}
inline const QString &invalidPictureTitle()
{
    static const QString title = QStringLiteral("Invalid Picture");
    return title;
}

// Turns whatever the body threw into an AppError (out of memory into 7).
AppError asAppError(std::exception_ptr failure);

} // namespace ErrorHandlers
