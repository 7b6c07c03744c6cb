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

std::int32_t fraction(std::int32_t length, double f) { return Numbers::roundToInt32(double(length) * f); }

float scaled(float side, double f) { return float(roundHalfEven(double(side) * f)); }

} // namespace

ByteLimit ByteLimitRule(short index, std::int32_t length, const QString &txtUserSize,
                        const QString &txtUserSizePercent)
{
    ByteLimit r;
    switch (index) {
    case 1: r.limit = 50 * 1024; break;
    case 2: r.limit = 100 * 1024; break;
    case 3: r.limit = 250 * 1024; break;
    case 4: {
        const double n = leadingNumber(txtUserSize);
        if (n < 100 || n > 2147483647.0)
            r.refusal = refusal('A');
        else
            r.limit = Numbers::toInt32(txtUserSize);
        break;
    }
    case 5: r.limit = fraction(length, 0.25); break;
    case 6: r.limit = fraction(length, 0.5); break;
    case 7: r.limit = fraction(length, 0.75); break;
    case 8: {
        const double n = leadingNumber(txtUserSizePercent);
        if (n < 1 || n > 100) {
            r.refusal = refusal('B');
        } else {
            const double p = Numbers::toDouble(txtUserSizePercent);
            r.limit = Numbers::roundToInt32(p * (double(length) / 100.0)) - 1;
        }
        break;
    }
    default: r.limit = length - 1; break;
    }
    return r;
}

TargetSize TargetSizeRule(short index, float pictureWidth, float pictureHeight, const QString &txtWidth,
                          const QString &txtHeight, const QString &txtWidthPercent,
                          const QString &txtHeightPercent)
{
    TargetSize r;
    switch (index) {
    case 1: r.width = 640; r.height = 480; break;
    case 2: r.width = 800; r.height = 600; break;
    case 3:
        if (leadingNumber(txtWidth) == 0) {
            r.refusal = refusal('C');
        } else if (leadingNumber(txtHeight) == 0) {
            r.refusal = refusal('D');
        } else {
            r.width = Numbers::toFloat(txtWidth);
            r.height = Numbers::toFloat(txtHeight);
        }
        break;
    case 4: r.width = scaled(pictureWidth, 0.25); r.height = scaled(pictureHeight, 0.25); break;
    case 5: r.width = scaled(pictureWidth, 0.5); r.height = scaled(pictureHeight, 0.5); break;
    case 6: r.width = scaled(pictureWidth, 0.75); r.height = scaled(pictureHeight, 0.75); break;
    case 7:
        if (leadingNumber(txtWidthPercent) == 0) {
            r.refusal = refusal('E');
        } else if (leadingNumber(txtHeightPercent) == 0) {
            r.refusal = refusal('F');
        } else {
            const double pw = Numbers::toDouble(txtWidthPercent);
            const double ph = Numbers::toDouble(txtHeightPercent);
            r.width = float(roundHalfEven(pw * (double(pictureWidth) / 100.0)));
            r.height = float(roundHalfEven(ph * (double(pictureHeight) / 100.0)));
        }
        break;
    default: r.width = pictureWidth; r.height = pictureHeight; break;
    }
    return r;
}

} // namespace SquashTargets
