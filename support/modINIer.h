#pragma once

#include <QString>

// The settings file: a small INI file read and written afresh on every call.
//
// Section and key names compare without regard to case; blanks around "="
// and around a value are ignored; one pair of double quotes around a value is
// removed on reading, its inner text kept as it is. Writing replaces an
// existing key in place and keeps every other line as it was; a missing
// file, section or key is created. Writes are atomic.
namespace modINIer {

// Where the file lives: beside the executable, named after it with ".ini",
// unless that folder cannot be written and no file is there yet; then in the
// user's configuration folder.
QString IniPath();

// Points every later call at another file; an empty path restores IniPath's
// own choice. For tests and for a second instance with its own settings.
void SetIniPath(const QString &path);

// The value, or an empty text when the file, the section or the key is missing.
QString ReadIniValue(const QString &section, const QString &key);

// Throws AppError when the file cannot be written (70, 75) or the value
// holds a line break (5); the old file is then left as it was.
void WriteIniValue(const QString &section, const QString &key, const QString &value);

} // namespace modINIer
