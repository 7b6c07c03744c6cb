#pragma once

#include <QImage>
#include <QString>
#include <atomic>

// One loaded picture: its path, its file's length and its pixels, which give
// its size. The window replaces it whole or not at all, and a squash reads
// nothing else about its input.
struct LoadedPicture
{
    QString path;
    qint64 length = 0;
    QImage picture;

    bool isNull() const { return picture.isNull(); }
    int width() const { return picture.width(); }
    int height() const { return picture.height(); }

    // Decodes the file (on any thread). Throws the picture loader's errors.
    static LoadedPicture Load(const QString &path, const std::atomic<bool> &cancelled);
};
