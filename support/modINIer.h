#pragma once

#include <QList>
#include <QString>

// The settings file: a small INI file read and written afresh on every call.
//
// Section and key names compare without regard to case; blanks around "="
// and around a value are ignored; one pair of double quotes around a value is
// removed on reading, its inner text kept as it is; a section header may be
// followed by a comment. Values are read as UTF-8 where that is valid and as
// Latin-1 otherwise, and written as UTF-8. Writing replaces an existing key
// in place and keeps every other byte as it was; a missing file, section or
// key is created. Writes are atomic, keep the file's permissions, set its
// time to now, and go through a symbolic link to the file it names; a file
// made read-only is left alone.
namespace modINIer {

// Where the file lives: beside the executable, named after it with ".ini",
// when this user can write it there or the file there is the user's own;
// otherwise in the user's configuration folder, starting as a copy of the
// file beside the executable, if any.
QString IniPath();

// Points every later call at another file; an empty path restores IniPath's
// own choice. For tests and for a second instance with its own settings.
void SetIniPath(const QString &path);

// The value, or an empty text when the file, the section or the key is missing.
QString ReadIniValue(const QString &section, const QString &key);

// Throws AppError when the file cannot be written or is read-only (70, 75)
// or the value holds a line break (5); the old file is then left as it was.
void WriteIniValue(const QString &section, const QString &key, const QString &value);

// Several values at once: one read and one replacement of the file.
struct IniValue
{
    QString section, key, value;
};
void WriteIniValues(const QList<IniValue> &values);

} // namespace modINIer
