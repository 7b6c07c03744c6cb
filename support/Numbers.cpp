#include "Numbers.h"

#include "AppError.h"

#include <QByteArray>
#include <charconv>
#include <cmath>
#include <algorithm>
#include <system_error>
#include <limits>

namespace Numbers {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Numbers");

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Length of the number at the start of s from position i, or 0 if none:
// [+-] digits [. digits] [e[+-]digits], or [+-] . digits [...].
qsizetype numberLength(const QString &s, qsizetype i)
{
    const qsizetype start = i;
    const qsizetype n = s.size();
    if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    qsizetype digits = 0;
    while (i < n && isDigit(s[i])) { ++i; ++digits; }
    if (i < n && s[i] == QLatin1Char('.')) {
        qsizetype j = i + 1;
        qsizetype fraction = 0;
        while (j < n && isDigit(s[j])) { ++j; ++fraction; }
        if (digits + fraction > 0)
            i = j;
        digits += fraction;
    }
    if (digits == 0)
        return 0;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        qsizetype j = i + 1;
        if (j < n && (s[j] == QLatin1Char('+') || s[j] == QLatin1Char('-')))
            ++j;
        qsizetype exponent = 0;
        while (j < n && isDigit(s[j])) { ++j; ++exponent; }
        if (exponent > 0)
            i = j;
    }
    return i - start;
}

// Whether a number that a double cannot hold is too large rather than too
// small: its first significant digit stands at or above the units.
bool tooLarge(const QByteArray &number)
{
    const qsizetype e = std::max(number.indexOf('e'), number.indexOf('E'));
    const QByteArray mantissa = e >= 0 ? number.left(e) : number;
    long long exponent = 0;
    if (e >= 0) {
        const QByteArray digits = number.mid(e + 1);
        const char *first = digits.constData() + (digits.startsWith('+') ? 1 : 0);
        if (std::from_chars(first, digits.constData() + digits.size(), exponent).ec == std::errc::result_out_of_range)
            exponent = digits.startsWith('-') ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    }
    const qsizetype point = mantissa.contains('.') ? mantissa.indexOf('.') : mantissa.size();
    const qsizetype firstDigit = [&] {
        for (qsizetype i = 0; i < mantissa.size(); ++i)
            if (mantissa[i] >= '1' && mantissa[i] <= '9')
                return i;
        return mantissa.size();
    }();
    // The power of ten of the first significant digit.
    const long long place = firstDigit < point ? point - firstDigit - 1 : point - firstDigit;
    return place + exponent >= 0;
}

// Parsed without the C library, whose decimal point follows the locale
// (Qt sets it from the environment): "12.5" must never read as 12.
double parse(const QString &s, qsizetype from, qsizetype length)
{
    QByteArray bytes = s.mid(from, length).toLatin1();
    bool negative = false;
    if (bytes.startsWith('+') || bytes.startsWith('-')) {
        negative = bytes.startsWith('-');
        bytes.remove(0, 1);
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), value);
    Q_UNUSED(end);
    if (ec == std::errc::result_out_of_range)
        value = tooLarge(bytes) ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

// The whole text as a double, or TypeMismatch.
double wholeNumber(const QString &text)
{
    const QString s = text.trimmed();
    const qsizetype length = numberLength(s, 0);
    if (length == 0 || length != s.size())
        throw AppError(AppError::TypeMismatch, kSource);
    const double value = parse(s, 0, length);
    if (std::isinf(value))
        throw AppError(AppError::Overflow, kSource);
    return value;
}

template <typename Int>
Int toInteger(double value)
{
    const double rounded = roundHalfEven(value);
    if (rounded < static_cast<double>(std::numeric_limits<Int>::min())
        || rounded > static_cast<double>(std::numeric_limits<Int>::max()))
        throw AppError(AppError::Overflow, kSource);
    return static_cast<Int>(rounded);
}

} // namespace

double leadingNumber(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    const qsizetype length = numberLength(text, i);
    if (length == 0)
        return 0.0;
    const double value = parse(text, i, length);
    return std::isfinite(value) ? value : 0.0;
}

std::int16_t toInt16(const QString &text) { return toInteger<std::int16_t>(wholeNumber(text)); }
std::int32_t toInt32(const QString &text) { return toInteger<std::int32_t>(wholeNumber(text)); }

float toFloat(const QString &text)
{
    const double value = wholeNumber(text);
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max()))
        throw AppError(AppError::Overflow, kSource);
    return static_cast<float>(value);
}

double toDouble(const QString &text) { return wholeNumber(text); }

double roundHalfEven(double value)
{
    // nearbyint follows the default rounding mode, which is to-nearest-even.
    return std::nearbyint(value);
}

std::int32_t roundToInt32(double value) { return toInteger<std::int32_t>(value); }

QString floatText(float value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    return text.replace(QLatin1Char('e'), QLatin1Char('E'));
}

} // namespace Numbers
