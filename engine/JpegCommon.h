#pragma once

// Shared pieces of the two libjpeg users (the whole-image writer and the
// coefficient encoder). Include only from .cpp files that call libjpeg.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace JpegCommon {

// libjpeg reports fatal errors through error_exit; ours jumps back to the
// caller's setjmp point instead of ending the process, and prints nothing.
struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void installErrorManager(jpeg_compress_struct &cinfo, ErrorManager &err);

// A destination that appends into a vector whose capacity is kept between
// encodes, so repeated tries do not reallocate.
struct VectorDestination
{
    jpeg_destination_mgr pub;
    std::vector<unsigned char> *buffer;
};

void installVectorDestination(jpeg_compress_struct &cinfo, VectorDestination &dest,
                              std::vector<unsigned char> &buffer);

// The one place that decides how the program's JPEGs are encoded: baseline,
// YCbCr with 4:2:0 chroma subsampling, optimised Huffman tables, libjpeg's
// standard quality scaling of the standard tables, the exact integer DCT,
// a JFIF header and no other metadata. Call after the image size is set.
void applyEncoderSettings(jpeg_compress_struct &cinfo, int quality);

} // namespace JpegCommon
