#pragma once

#include <QImage>
#include <QString>
#include <atomic>

// One loaded picture: its path, its file's length, its pixels, which give
// its size, and those pixels reduced to the thumbnail's size. The window
// replaces it whole or not at all, and a squash reads nothing else about
// its input.
struct LoadedPicture
{
    QString path;
    qint64 length = 0;
    QImage picture;
    QImage preview;

    bool isNull() const { return picture.isNull(); }
    int width() const { return picture.width(); }
    int height() const { return picture.height(); }

    // Decodes the file and reduces it to `previewSize` (on any thread).
    // Throws the picture loader's errors.
    static LoadedPicture Load(const QString &path, QSize previewSize, const std::atomic<bool> &cancelled);
};
