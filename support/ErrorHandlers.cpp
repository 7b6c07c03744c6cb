#include "ErrorHandlers.h"

namespace ErrorHandlers {

AppError asAppError(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const AppError &e) {
        return e;
    } catch (const std::bad_alloc &) {
        return AppError(AppError::OutOfMemory, QStringLiteral("Quillmoss"));
    } catch (const std::exception &e) {
        return AppError(AppError::InvalidCall, QStringLiteral("Quillmoss"), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        return AppError(AppError::InvalidCall, QStringLiteral("Quillmoss"));
    }
}

bool report(MessageBoxes &boxes, const std::function<void()> &body,
            const std::function<void(const AppError &)> &onFailure)
{
    try {
        body();
        return true;
    } catch (...) {
        const AppError e = asAppError(std::current_exception());
        if (onFailure)
            skip([&] { onFailure(e); });
        boxes.show(e.reportText(), MessageBoxes::OkOnly);
        return false;
    }
}

bool skip(const std::function<void()> &statement)
{
    try {
        statement();
        return true;
    } catch (...) {
        return false;
    }
}

void showInvalidPicture(MessageBoxes &boxes) { showInvalidPicture(boxes, invalidPictureText()); }

void showInvalidPicture(MessageBoxes &boxes, const QString &text)
{
    boxes.show(text, MessageBoxes::Critical, invalidPictureTitle());
}

} // namespace ErrorHandlers
