#pragma once

#include <QByteArray>
#include <QString>

class QFile;
class QUrl;

// File names are bytes on this system, and not always UTF-8 (an old camera
// card, a ZIP from elsewhere). Names are held as QString everywhere; this
// module turns their bytes into a QString and back without loss: valid UTF-8
// decodes as usual, and each byte of an invalid sequence becomes the lone
// surrogate U+DC80 + byte, which encoding turns back into that byte. Qt's own
// file functions would encode such a name as UTF-8 and miss the file, so
// everything that hands a path to the system goes through here.
namespace FileNames {

QString decode(QByteArrayView bytes);
QByteArray encode(QStringView name);

// What the system says about the file at path, links followed. All false
// and zero when there is nothing there (or it cannot be looked at).
struct Status
{
    bool exists = false;
    bool isFile = false;
    bool isDir = false;
    qint64 size = 0;
};
Status status(const QString &path);

// Opens the file for reading; false with errno set when the system refuses.
bool openForReading(QFile &file, const QString &path);

// The path made absolute against the working folder and cleaned, by string
// operations only.
QString absolutePath(const QString &path);
// The absolute path with links resolved; empty when there is no such file.
QString canonicalPath(const QString &path);

// A local file's path from a URL, its percent-encoded bytes kept (QUrl's own
// toLocalFile makes bytes that are not UTF-8 U+FFFD); empty for other URLs.
QString fromUrl(const QUrl &url);
// The file URL of a path, its bytes percent-encoded as they are.
QUrl toUrl(const QString &path);

} // namespace FileNames
