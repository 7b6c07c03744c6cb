#pragma once

#include "AppError.h"

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>

// Shared helpers of the engine tests.
namespace EngineTest {

inline QString corpus(const char *name) { return QStringLiteral(QUILLMOSS_CORPUS "/") + QString::fromUtf8(name); }

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(data);
}

// A picture with four coloured quadrants: red top left, green top right,
// blue bottom left, white bottom right. Upside-down, mirrored or skewed
// output shows as wrong colours at the quadrant centres.
inline QImage quadrants(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            img.setPixel(x, y, bottom ? (right ? qRgb(255, 255, 255) : qRgb(0, 0, 255))
                                      : (right ? qRgb(0, 255, 0) : qRgb(255, 0, 0)));
        }
    return img;
}

template <typename F>
int errorNumber(F f)
{
    try {
        f();
    } catch (const AppError &e) {
        return e.number();
    }
    return 0;
}

} // namespace EngineTest
