#pragma once

#include <QString>
#include <cstddef>

// Writes a whole file so that readers only ever see the old file or the
// complete new one: the data go to a temporary file in the same folder,
// which is flushed to disk and then renamed over the target. On any failure
// the temporary file is removed, the old file is left as it was, and an
// AppError (70 permission denied, 75 path/file access error) with the path
// and the system's reason is thrown. Temporaries left in the folder by a
// killed run of this user (their process gone) are removed first.
namespace AtomicFile {

enum class Metadata {
    Fresh,          // the new file gets the usual permissions and the current time
    KeepExisting,   // an existing target's permissions and access/modification times are kept
    KeepPermissions, // an existing target's permissions are kept; its time becomes now
};

void write(const QString &path, const void *data, std::size_t size, Metadata metadata = Metadata::Fresh);

// The file that writing through path should replace: path itself, or the end
// of its chain of symbolic links, which may not exist yet. Empty when the
// chain does not end.
QString linkTarget(const QString &path);

// Whether this user may replace the file at path (no links followed): its
// folder can be written and, if the file is there, it can be written and is
// not marked read-only. Root counts as able only where a write bit is set.
bool canReplace(const QString &path);

} // namespace AtomicFile
