#pragma once

#include "cDIBSection.h"

#include <QString>
#include <cstdint>
#include <vector>

// The program's one way of writing a JPEG file.
namespace mIntelJPEGLibrary {

// Writes the image as a JPEG file at the path with the given quality (1 to
// 100; libjpeg clamps others). The file is replaced atomically: a failure
// leaves any old file as it was and no temporary file behind; a replaced
// file keeps its permissions and access and modification times. Returns
// true; every failure throws AppError: 26001 "Failed to initialise the IJL
// library: N" or "Failed to save to JPG N" from the encoder, 70 or 75 from
// the file system.
bool SaveDibAsJpeg(const cDIBSection &image, const QString &path, std::int32_t quality);

// The bytes SaveDibAsJpeg would write, without touching the disk.
std::vector<std::uint8_t> EncodeDib(const cDIBSection &image, std::int32_t quality);

// The source named in the writer's errors: the executable's name followed by
// ".mIntelJPEGLibrary".
QString ErrorSource();

} // namespace mIntelJPEGLibrary
