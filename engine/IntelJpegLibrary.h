#pragma once

#include <cstddef>
#include <cstdint>

// The encoder layer the JPEG writer talks to: a parameter record with named
// fields, and init / write / free calls that return 0 or a negative status.
// Built on libjpeg-turbo; nothing here ends the process or prints.

enum IJLERR : int {
    IJL_OK = 0,
    IJL_EXCEPTION_DETECTED = -1,     // libjpeg reported an error
    IJL_INVALID_ENCODER = -2,        // ijlInit was not called, or failed
    IJL_MEMORY_ERROR = -5,
    IJL_INVALID_JPEG_PROPERTIES = -8,
    IJL_ERR_FILECLOSE = -9,          // the output file could not be written
    IJL_INVALID_FILENAME = -10,
};

enum IJLIOTYPE : int {
    IJL_JFILE_WRITEWHOLEIMAGE = 8,   // whole image to the file named by JPGFile
    IJL_JBUFF_WRITEWHOLEIMAGE = 9,   // whole image to memory: JPGBytes / JPGSizeBytes
};

struct IjlEncoder;

struct JPEG_CORE_PROPERTIES
{
    // Pixel side: 3 bytes per pixel, blue, green, red.
    const std::uint8_t *DIBBytes = nullptr;   // first byte of the first row in memory
    std::int32_t DIBWidth = 0;
    std::int32_t DIBHeight = 0;               // negative: rows lie bottom-up in memory
    std::int32_t DIBPadBytes = 0;             // filler bytes after each row
    std::int32_t DIBChannels = 3;

    // JPEG side.
    const char *JPGFile = nullptr;            // path as QFile::encodeName gives it
    std::int32_t JPGWidth = 0;
    std::int32_t JPGHeight = 0;
    std::int32_t JPGChannels = 3;
    std::int32_t jquality = 75;

    // In-memory output of IJL_JBUFF_WRITEWHOLEIMAGE: the encoded bytes, owned
    // by the record and valid until the next write or ijlFree.
    const std::uint8_t *JPGBytes = nullptr;
    std::size_t JPGSizeBytes = 0;

    IjlEncoder *encoder = nullptr;            // set by ijlInit
};

// Fills the record with its defaults and prepares the encoder.
int ijlInit(JPEG_CORE_PROPERTIES *jcprops);
// Encodes the whole image described by the record.
int ijlWrite(JPEG_CORE_PROPERTIES *jcprops, int iotype);
// Releases what ijlInit and ijlWrite hold. Safe to call more than once.
int ijlFree(JPEG_CORE_PROPERTIES *jcprops);
