#pragma once

#include "PreparedPicture.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <atomic>

// One loaded picture: the engine's prepared picture (path, length, pixels,
// size) and those pixels reduced to the thumbnail's size. The window
// replaces it whole or not at all, and a squash reads nothing else about
// its input.
struct LoadedPicture : PreparedPicture
{
    QImage preview;

    // Decodes the file and reduces it to `previewSize` (on any thread).
    // Throws PreparedPicture's errors.
    static LoadedPicture Load(const QString &path, QSize previewSize, const std::atomic<bool> &cancelled);
};
