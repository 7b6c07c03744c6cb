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
};

void write(const QString &path, const void *data, std::size_t size, Metadata metadata = Metadata::Fresh);

} // namespace AtomicFile
