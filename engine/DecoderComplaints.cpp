#include "DecoderComplaints.h"

#include <QRegularExpression>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <png.h>
#include <tiffio.h>

namespace {

thread_local DecoderComplaints *t_complaints = nullptr;

void keep(const char *text)
{
    // Without the name the file was opened under ("foo: Sorry, ...").
    static const QRegularExpression name(QStringLiteral("^[\\w.-]+: "));
    if (t_complaints)
        t_complaints->keep(QString::fromLocal8Bit(text).remove(name));
}

void tiffError(const char *, const char *format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    keep(text);
}

void tiffWarning(const char *, const char *, va_list) {}

// libtiff's handlers are the process's: Qt's reader shares the library.
void installTiffHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(tiffError);
        TIFFSetWarningHandler(tiffWarning);
    });
}

[[noreturn]] void pngError(png_structp png, png_const_charp message)
{
    keep(message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

} // namespace

// Qt's PNG reader gives libpng no error function, so libpng would print
// "libpng error: ..." itself. Every reader's handlers pass through here
// (the executables export this name) and get ours where they have none.
extern "C" void png_set_error_fn(png_structrp png, png_voidp errorData, png_error_ptr errorFn, png_error_ptr warningFn)
{
    using Real = void (*)(png_structrp, png_voidp, png_error_ptr, png_error_ptr);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "png_set_error_fn"));
    if (real)
        real(png, errorData, errorFn ? errorFn : pngError, warningFn ? warningFn : pngWarning);
}

DecoderComplaints::DecoderComplaints() : m_outer(t_complaints)
{
    installTiffHandlers();
    t_complaints = this;
}

DecoderComplaints::~DecoderComplaints() { t_complaints = m_outer; }

void DecoderComplaints::keep(const QString &message)
{
    if (m_first.isEmpty())
        m_first = message;
}
