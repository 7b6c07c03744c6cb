#pragma once

#include "TestSupport.h"

#include <QImage>
#include <QString>

// Shared helpers of the engine tests.
namespace EngineTest {

using ::corpus;
using ::errorNumber;
using ::readAll;
using ::writeAll;

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

} // namespace EngineTest
