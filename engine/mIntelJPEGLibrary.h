#pragma once

#include "cDIBSection.h"

class JpegSizeBounds;

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

// The program's one way of writing a JPEG file.
namespace mIntelJPEGLibrary {

// One libjpeg compressor and its output buffer, kept across the encodes of a
// squash so that repeated tries neither re-create the compressor nor copy or
// re-grow the output. Errors are AppError 26001: "Failed to initialise the IJL
// library: N" from the constructor, "Failed to save to JPG N" from Encode,
// where N is -1 (libjpeg reported an error), -5 (out of memory) or -8 (no or
// unusable image).
class Encoder
{
public:
    Encoder();
    ~Encoder();
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    // The bytes SaveDibAsJpeg would write for this quality (1 to 100; libjpeg
    // clamps others). Valid until the next Encode or the encoder's end.
    const std::vector<std::uint8_t> &Encode(const cDIBSection &image, std::int32_t quality);
    // The same bytes, written from the picture's precomputed coefficients:
    // only quantisation and the Huffman passes are left to do, and no
    // whole-picture buffer is allocated.
    const std::vector<std::uint8_t> &Encode(const JpegSizeBounds &coefficients, std::int32_t quality);

    // The contents of an APP1 segment (at most 65533 bytes; "Exif\0\0" and a
    // TIFF structure) that every later Encode writes after the JFIF header:
    // each file grows by exactly its length and 4 bytes. Empty: none.
    void SetApp1(std::vector<std::uint8_t> contents);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Writes the image as a JPEG file at the path with the given quality (1 to
// 100; libjpeg clamps others). The file is replaced atomically: a failure
// leaves any old file as it was and no temporary file behind; a replaced
// file keeps its permissions and access and modification times. Returns
// true; every failure throws AppError: the encoder's as above, 70 or 75 from
// the file system.
bool SaveDibAsJpeg(const cDIBSection &image, const QString &path, std::int32_t quality);

// The source named in the writer's errors: the executable's name followed by
// ".mIntelJPEGLibrary".
QString ErrorSource();

} // namespace mIntelJPEGLibrary
