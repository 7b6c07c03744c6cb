#pragma once

#include <QString>
#include <cstdint>

// Holds one path and splits it into folder, file name, base name and
// extension by scanning back for the last separator and the last dot.
// Nothing is checked when the path is set; a part that the scan cannot find
// throws AppError 5, a path over 32767 characters AppError 6.
class clsPathER
{
public:
    static constexpr QChar Separator = QLatin1Char('/');

    QString GetFullPath() const { return m_fullPath; }
    void SetFullPath(const QString &NewPath) { m_fullPath = NewPath; }

    QString GetPath() const;            // everything before the last separator
    QString GetFilename() const;        // everything after the last separator
    QString GetBaseFilename() const;    // file name before its last dot
    QString GetExtension() const;       // file name after its last dot
    std::int16_t GetPathLength() const;
    // Length in bytes of the named file: AppError 53 when it does not exist,
    // 6 when it does not fit 32 bits.
    std::int32_t GetFileSize() const;

    // A normal file (not a folder) exists at the path.
    static bool FileExists(const QString &sFullPath);
    // A folder exists at the path ("folder/." counts).
    static bool FolderExists(const QString &sFullPath);

private:
    QString m_fullPath;
};
