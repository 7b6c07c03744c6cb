#include "mIntelJPEGLibrary.h"

#include "AppError.h"
#include "AtomicFile.h"
#include "HugeArray.h"
#include "JpegSizeBounds.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <new>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg's optimal-table builder: exported by the library (its progressive
// encoder calls it), though jpeglib.h does not declare it.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL *htbl, long freq[]);

namespace mIntelJPEGLibrary {
namespace {

// The encoder's status numbers, as the error texts show them.
enum Status : int {
    Ok = 0,
    LibjpegError = -1,
    OutOfMemory = -5,
    BadImage = -8,
};

// libjpeg reports fatal errors through error_exit; ours jumps back to the
// setjmp point in encode() instead of ending the process, and prints nothing.
struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void errorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1); }

void outputMessage(j_common_ptr) {}

// A destination that grows a vector whose capacity is kept between encodes.
// Running out of memory is reported the way libjpeg reports its own, so that
// no C++ exception crosses libjpeg's C frames.
struct VectorDestination
{
    jpeg_destination_mgr pub;
    std::vector<std::uint8_t> *buffer;
};

bool grow(std::vector<std::uint8_t> &buffer, std::size_t size)
{
    try {
        buffer.resize(size);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
}

void initDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    std::vector<std::uint8_t> &buffer = *dest->buffer;
    // The capacity an earlier encode left is used again as it is.
    if (!grow(buffer, std::max<std::size_t>(65536, buffer.capacity())))
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    dest->pub.next_output_byte = buffer.data();
    dest->pub.free_in_buffer = buffer.size();
}

boolean emptyOutputBuffer(j_compress_ptr cinfo)
{
    // libjpeg calls this only when the whole buffer is full, whatever
    // free_in_buffer says.
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    std::vector<std::uint8_t> &buffer = *dest->buffer;
    const std::size_t used = buffer.size();
    if (!grow(buffer, used * 2))
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    dest->pub.next_output_byte = buffer.data() + used;
    dest->pub.free_in_buffer = buffer.size() - used;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    dest->buffer->resize(dest->buffer->size() - dest->pub.free_in_buffer);   // keeps the capacity
}

// The one place that decides how the program's JPEGs are encoded: baseline,
// YCbCr with 4:2:0 chroma subsampling, optimised Huffman tables, libjpeg's
// standard quality scaling of the standard tables, the exact integer DCT,
// a JFIF header and no other metadata.
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

} // namespace

struct Encoder::Impl
{
    jpeg_compress_struct cinfo {};
    ErrorManager err {};
    VectorDestination dest {};
    std::vector<std::uint8_t> buffer;   // the encoded bytes; its capacity only grows
    std::vector<JSAMPROW> rows;
    std::vector<std::uint8_t> app1;
    bool created = false;
    bool primed = false;
};

namespace {

// The libjpeg part: no C++ object with a destructor may live in this frame
// across the setjmp.
int create(jpeg_compress_struct &cinfo, ErrorManager &err)
{
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = outputMessage;
    if (setjmp(err.jump))
        return LibjpegError;
    jpeg_create_compress(&cinfo);
    return Ok;
}

int encode(jpeg_compress_struct &cinfo, ErrorManager &err, JSAMPARRAY rows, int width, int height, int quality,
           const std::uint8_t *app1, unsigned app1Length)
{
    if (setjmp(err.jump)) {
        jpeg_abort_compress(&cinfo);
        return err.pub.msg_code == JERR_OUT_OF_MEMORY ? OutOfMemory : LibjpegError;
    }
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    applyEncoderSettings(cinfo, quality);
    jpeg_start_compress(&cinfo, TRUE);
    if (app1Length > 0)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1, app1Length);
    jpeg_write_scanlines(&cinfo, rows, JDIMENSION(height));
    jpeg_finish_compress(&cinfo);
    return Ok;
}

// What jpeg_write_coefficients reads instead of libjpeg's own virtual
// arrays: the coefficient controller asks for each row of blocks through the
// memory manager's access_virt_barray, which is pointed at `access` for the
// encode, so that every row is quantised when it is read (twice, for the
// Huffman statistics and the output) and the picture is never held quantised.
struct CoefficientSource
{
    const JpegSizeBounds *coefficients = nullptr;
    int quality = 0;
    JpegSizeBounds::SymbolCounts counts;
    JBLOCKARRAY rows[3] {};         // a v-sample row band of each component
    int component[3] {0, 1, 2};     // their addresses stand in for the arrays
    decltype(jpeg_memory_mgr::access_virt_barray) libjpegAccess = nullptr;
};

JBLOCKARRAY access(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION startRow, JDIMENSION numRows, boolean)
{
    auto *source = static_cast<CoefficientSource *>(cinfo->client_data);
    const int c = *reinterpret_cast<const int *>(array);
    const JpegSizeBounds &coefficients = *source->coefficients;
    if (!source->rows[c])
        source->rows[c] = (*cinfo->mem->alloc_barray)(cinfo, JPOOL_IMAGE, JDIMENSION(coefficients.BlockColumns(c)),
                                                      JDIMENSION(c == 0 ? 2 : 1));
    // Rows past the picture are never read: the controller makes dummy
    // blocks for them.
    for (JDIMENSION r = 0; r < numRows; ++r)
        if (int(startRow + r) < coefficients.BlockRows(c))
            coefficients.QuantisedRow(source->quality, c, int(startRow + r), source->rows[c][r][0]);
    return source->rows[c];
}

int encodeCoefficients(jpeg_compress_struct &cinfo, ErrorManager &err, CoefficientSource &source,
                       const std::uint8_t *app1, unsigned app1Length)
{
    source.libjpegAccess = cinfo.mem->access_virt_barray;
    if (setjmp(err.jump)) {
        jpeg_abort_compress(&cinfo);
        cinfo.mem->access_virt_barray = source.libjpegAccess;
        cinfo.client_data = nullptr;
        return err.pub.msg_code == JERR_OUT_OF_MEMORY ? OutOfMemory : LibjpegError;
    }
    cinfo.image_width = JDIMENSION(source.coefficients->Width());
    cinfo.image_height = JDIMENSION(source.coefficients->Height());
    applyEncoderSettings(cinfo, source.quality);
    // The optimal tables from counts already made, built by libjpeg's own
    // routine: one output pass instead of a counting pass and an output pass.
    for (int t = 0; t < 2; ++t) {
        jpeg_gen_optimal_table(&cinfo, cinfo.dc_huff_tbl_ptrs[t], source.counts.dc[t]);
        jpeg_gen_optimal_table(&cinfo, cinfo.ac_huff_tbl_ptrs[t], source.counts.ac[t]);
    }
    cinfo.optimize_coding = FALSE;
    cinfo.client_data = &source;
    cinfo.mem->access_virt_barray = access;
    jvirt_barray_ptr arrays[3];
    for (int c = 0; c < 3; ++c)
        arrays[c] = reinterpret_cast<jvirt_barray_ptr>(&source.component[c]);
    jpeg_write_coefficients(&cinfo, arrays);
    if (app1Length > 0)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1, app1Length);
    jpeg_finish_compress(&cinfo);
    cinfo.mem->access_virt_barray = source.libjpegAccess;
    cinfo.client_data = nullptr;
    return Ok;
}

[[noreturn]] void fail(int status)
{
    throw AppError(AppError::JpegWriter, ErrorSource(), QStringLiteral("Failed to save to JPG %1").arg(status));
}

} // namespace

Encoder::Encoder() : d(new (std::nothrow) Impl)
{
    const int status = d ? create(d->cinfo, d->err) : OutOfMemory;
    if (status != Ok)
        throw AppError(AppError::JpegWriter, ErrorSource(),
                       QStringLiteral("Failed to initialise the IJL library: %1").arg(status));
    d->created = true;
    d->dest.buffer = &d->buffer;
    d->dest.pub.init_destination = initDestination;
    d->dest.pub.empty_output_buffer = emptyOutputBuffer;
    d->dest.pub.term_destination = termDestination;
    d->cinfo.dest = &d->dest.pub;
}

Encoder::~Encoder()
{
    if (d && d->created)
        jpeg_destroy_compress(&d->cinfo);
}

const std::vector<std::uint8_t> &Encoder::Encode(const cDIBSection &image, std::int32_t quality)
{
    const int width = image.Width(), height = image.Height();
    std::uint8_t *bits = image.DIBSectionBitsPtr();
    if (!bits || width <= 0 || height <= 0)
        fail(BadImage);
    const std::size_t stride = std::size_t(image.BytesPerScanLine());
    try {
        d->rows.resize(std::size_t(height));
    } catch (const std::bad_alloc &) {
        fail(OutOfMemory);
    }
    // Rows point straight into the image, bottom row last in memory order.
    for (int r = 0; r < height; ++r)
        d->rows[std::size_t(r)] = bits + std::size_t(height - 1 - r) * stride;
    if (!d->primed) {
        // Optimised Huffman tables make libjpeg keep every quantised
        // coefficient (2 bytes each, 1.5 per pixel at 2x2 chroma) through the
        // encode, freshly allocated and touched a page at a time. Freed at
        // once, an array of that size on huge pages is where the heap puts
        // them instead, when the process keeps freed memory in its heap (the
        // command line does); elsewhere this costs one map and unmap.
        d->primed = true;
        try {
            HugeArray<std::uint8_t>((std::size_t(width + 15) / 16) * (std::size_t(height + 15) / 16) * 6 * 128);
        } catch (const std::bad_alloc &) {
        }
    }
    const int status = encode(d->cinfo, d->err, d->rows.data(), width, height, quality, d->app1.data(),
                              unsigned(d->app1.size()));
    if (status != Ok) {
        d->buffer.clear();
        fail(status);
    }
    return d->buffer;
}

const std::vector<std::uint8_t> &Encoder::Encode(const JpegSizeBounds &coefficients, std::int32_t quality)
{
    CoefficientSource source;
    source.coefficients = &coefficients;
    source.quality = std::clamp(quality, 1, 100);
    source.counts = coefficients.Counts(source.quality);
    const int status = encodeCoefficients(d->cinfo, d->err, source, d->app1.data(), unsigned(d->app1.size()));
    if (status != Ok) {
        d->buffer.clear();
        fail(status);
    }
    return d->buffer;
}

void Encoder::SetApp1(std::vector<std::uint8_t> contents)
{
    if (contents.size() > 65533)
        fail(BadImage);
    d->app1 = std::move(contents);
}

QString ErrorSource()
{
    QString name = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).baseName()
                                                : QString();
    if (name.isEmpty())
        name = QStringLiteral("Quillmoss");
    return name + QStringLiteral(".mIntelJPEGLibrary");
}

bool SaveDibAsJpeg(const cDIBSection &image, const QString &path, std::int32_t quality)
{
    Encoder encoder;
    const std::vector<std::uint8_t> &bytes = encoder.Encode(image, quality);
    AtomicFile::write(path, bytes.data(), bytes.size(), AtomicFile::Metadata::KeepExisting);
    return true;
}

} // namespace mIntelJPEGLibrary
