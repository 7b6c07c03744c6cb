#include "JpegCommon.h"

namespace JpegCommon {
namespace {

void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void outputMessage(j_common_ptr) {}

void initDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    std::vector<unsigned char> &buffer = *dest->buffer;
    if (buffer.size() < 65536)
        buffer.resize(65536);
    dest->pub.next_output_byte = buffer.data();
    dest->pub.free_in_buffer = buffer.size();
}

boolean emptyOutputBuffer(j_compress_ptr cinfo)
{
    // libjpeg calls this only when the whole buffer is full, whatever
    // free_in_buffer says.
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    std::vector<unsigned char> &buffer = *dest->buffer;
    const std::size_t used = buffer.size();
    buffer.resize(used * 2);
    dest->pub.next_output_byte = buffer.data() + used;
    dest->pub.free_in_buffer = buffer.size() - used;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    dest->buffer->resize(dest->buffer->size() - dest->pub.free_in_buffer);
}

} // namespace

void installErrorManager(jpeg_compress_struct &cinfo, ErrorManager &err)
{
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = outputMessage;
    err.message[0] = '\0';
}

void installVectorDestination(jpeg_compress_struct &cinfo, VectorDestination &dest,
                              std::vector<unsigned char> &buffer)
{
    dest.buffer = &buffer;
    dest.pub.init_destination = initDestination;
    dest.pub.empty_output_buffer = emptyOutputBuffer;
    dest.pub.term_destination = termDestination;
    cinfo.dest = &dest.pub;
}

void applyEncoderSettings(jpeg_compress_struct &cinfo, int quality)
{
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);           // YCbCr, 2x2 luma sampling, JFIF
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = TRUE;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.write_JFIF_header = TRUE;
    cinfo.write_Adobe_marker = FALSE;
}

} // namespace JpegCommon
