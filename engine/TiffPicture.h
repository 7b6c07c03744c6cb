#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <functional>
#include <optional>

// libtiff, for what Qt's TIFF reader cannot do: CMYK pictures of 8 and 16
// bits a channel. Also gathers libtiff's complaints, which it would
// otherwise print, for every TIFF read on the thread (Qt's reader's too).
namespace TiffPicture {

struct Header
{
    QSize size;           // as stored
    int orientation = 1;  // the orientation tag, 1 to 8
};

// The header of a CMYK TIFF that Load can decode (strips, inks in one
// plane, 8 or 16 bits); nothing for any other file.
std::optional<Header> CmykHeader(const QByteArray &file);

// The picture in Format_RGB32, as stored (orientation not applied).
// beforeAllocating is called with its size before the pixels are allocated
// and may throw. Throws AppError 481 naming libtiff's cause for a broken
// file, 18 when cancelled.
QImage LoadCmyk(const QByteArray &file, const std::function<void(QSize)> &beforeAllocating,
                const std::function<bool()> &cancelled);

// While one lives, libtiff's errors on this thread are kept rather than
// printed; its warnings are dropped.
class Complaints
{
public:
    Complaints();
    ~Complaints();
    Complaints(const Complaints &) = delete;
    Complaints &operator=(const Complaints &) = delete;
    // The first error libtiff gave, empty if none.
    QString first() const { return m_first; }
    void keep(const QString &message);

private:
    QString m_first;
    Complaints *m_outer;
};

} // namespace TiffPicture
