#include "IntelJpegLibrary.h"

#include "JpegCommon.h"

#include <cstdio>
#include <new>
#include <vector>

struct IjlEncoder
{
    jpeg_compress_struct cinfo {};
    JpegCommon::ErrorManager err {};
    JpegCommon::VectorDestination dest {};
    std::vector<unsigned char> output;
    std::vector<JSAMPROW> rows;
};

namespace {

bool validProperties(const JPEG_CORE_PROPERTIES &p)
{
    const std::int32_t height = p.DIBHeight < 0 ? -p.DIBHeight : p.DIBHeight;
    return p.DIBBytes && p.DIBWidth > 0 && height > 0 && p.DIBPadBytes >= 0 && p.DIBChannels == 3
        && p.JPGChannels == 3 && p.JPGWidth == p.DIBWidth && p.JPGHeight == height;
}

// The libjpeg part; no C++ object with a destructor may live in this frame
// across the setjmp.
int encode(IjlEncoder *enc, const JPEG_CORE_PROPERTIES *p)
{
    jpeg_compress_struct &cinfo = enc->cinfo;
    if (setjmp(enc->err.jump)) {
        jpeg_abort_compress(&cinfo);
        return IJL_EXCEPTION_DETECTED;
    }
    cinfo.image_width = JDIMENSION(p->JPGWidth);
    cinfo.image_height = JDIMENSION(p->JPGHeight);
    JpegCommon::applyEncoderSettings(cinfo, p->jquality);
    JpegCommon::installVectorDestination(cinfo, enc->dest, enc->output);
    jpeg_start_compress(&cinfo, TRUE);
    jpeg_write_scanlines(&cinfo, enc->rows.data(), JDIMENSION(enc->rows.size()));
    jpeg_finish_compress(&cinfo);
    return IJL_OK;
}

} // namespace

int ijlInit(JPEG_CORE_PROPERTIES *jcprops)
{
    if (!jcprops)
        return IJL_INVALID_JPEG_PROPERTIES;
    *jcprops = JPEG_CORE_PROPERTIES();
    auto *enc = new (std::nothrow) IjlEncoder;
    if (!enc)
        return IJL_MEMORY_ERROR;
    JpegCommon::installErrorManager(enc->cinfo, enc->err);
    if (setjmp(enc->err.jump)) {
        delete enc;
        return IJL_EXCEPTION_DETECTED;
    }
    jpeg_create_compress(&enc->cinfo);
    jcprops->encoder = enc;
    return IJL_OK;
}

int ijlWrite(JPEG_CORE_PROPERTIES *jcprops, int iotype)
{
    if (!jcprops || !jcprops->encoder)
        return IJL_INVALID_ENCODER;
    if (!validProperties(*jcprops))
        return IJL_INVALID_JPEG_PROPERTIES;
    if (iotype != IJL_JFILE_WRITEWHOLEIMAGE && iotype != IJL_JBUFF_WRITEWHOLEIMAGE)
        return IJL_INVALID_JPEG_PROPERTIES;
    if (iotype == IJL_JFILE_WRITEWHOLEIMAGE && (!jcprops->JPGFile || !*jcprops->JPGFile))
        return IJL_INVALID_FILENAME;

    IjlEncoder *enc = jcprops->encoder;
    const std::size_t height = std::size_t(jcprops->JPGHeight);
    const std::size_t stride = std::size_t(jcprops->DIBWidth) * 3 + std::size_t(jcprops->DIBPadBytes);
    const bool bottomUp = jcprops->DIBHeight < 0;
    try {
        enc->rows.resize(height);
    } catch (const std::bad_alloc &) {
        return IJL_MEMORY_ERROR;
    }
    // Rows point straight into the caller's pixels; bottom-up is only a
    // matter of their order.
    auto *base = const_cast<JSAMPLE *>(jcprops->DIBBytes);
    for (std::size_t r = 0; r < height; ++r)
        enc->rows[r] = base + (bottomUp ? height - 1 - r : r) * stride;

    jcprops->JPGBytes = nullptr;
    jcprops->JPGSizeBytes = 0;
    int status;
    try {
        status = encode(enc, jcprops);
    } catch (const std::bad_alloc &) {
        status = IJL_MEMORY_ERROR;
    }
    if (status != IJL_OK)
        return status;

    if (iotype == IJL_JBUFF_WRITEWHOLEIMAGE) {
        jcprops->JPGBytes = enc->output.data();
        jcprops->JPGSizeBytes = enc->output.size();
        return IJL_OK;
    }
    std::FILE *file = std::fopen(jcprops->JPGFile, "wb");
    if (!file)
        return IJL_INVALID_FILENAME;
    const bool written = std::fwrite(enc->output.data(), 1, enc->output.size(), file) == enc->output.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(jcprops->JPGFile);
        return IJL_ERR_FILECLOSE;
    }
    return IJL_OK;
}

int ijlFree(JPEG_CORE_PROPERTIES *jcprops)
{
    if (!jcprops || !jcprops->encoder)
        return IJL_OK;
    jpeg_destroy_compress(&jcprops->encoder->cinfo);
    delete jcprops->encoder;
    jcprops->encoder = nullptr;
    jcprops->JPGBytes = nullptr;
    jcprops->JPGSizeBytes = 0;
    return IJL_OK;
}
