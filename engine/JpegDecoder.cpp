#include "JpegDecoder.h"

#include "AppError.h"
#include "HugeArray.h"
#include "PackedRows.h"
#include "Picture.h"
#include "ProgressiveScans.h"

#include <QColorSpace>
#include <QSemaphore>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <jpeglib.h>
#include <jerror.h>
#include <vector>

namespace JpegDecoder {
namespace {

const QString kSource = QStringLiteral("Quillmoss.JpegDecoder");
constexpr int InvalidPicture = AppError::InvalidPicture;

enum class Stop { None, Error, TooManyScans, Cancelled };

struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    Stop stop = Stop::None;
    char message[JMSG_LENGTH_MAX] = {};
    char damage[JMSG_LENGTH_MAX] = {};   // the first warning that data are missing
};

struct Progress
{
    jpeg_progress_mgr pub;
    const std::function<bool()> *cancelled = nullptr;
};

void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (err->stop == Stop::None) {
        err->stop = Stop::Error;
        (*cinfo->err->format_message)(cinfo, err->message);
    }
    std::longjmp(err->jump, 1);
}

// Warnings (corrupt data, a truncated file) are not errors: what decodes is
// kept, and a warning that part of the picture is missing is remembered.
void quiet(j_common_ptr cinfo, int level)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    const int code = err->pub.msg_code;
    const bool missing = code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_MUST_RESYNC;
    if (level < 0 && missing && !err->damage[0])
        (*cinfo->err->format_message)(cinfo, err->damage);
}

void monitor(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    const auto *progress = reinterpret_cast<Progress *>(cinfo->progress);
    const auto *d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > MaxScans)
        err->stop = Stop::TooManyScans;
    else if (progress->cancelled && *progress->cancelled && (*progress->cancelled)())
        err->stop = Stop::Cancelled;
    if (err->stop != Stop::None)
        std::longjmp(err->jump, 1);
}

// One decompressor, destroyed on every way out.
struct Decompressor
{
    jpeg_decompress_struct cinfo {};
    ErrorManager err;
    Progress progress;
    // A progressive file's coefficient arrays as libjpeg asks for them (one
    // a component), their widths in blocks (padded to whole MCUs), block rows
    // (then packed rows);
    // the threads that decode the AC scans beside libjpeg, stopped before
    // the arrays go.
    std::vector<jvirt_barray_ptr> arrays;
    std::vector<JDIMENSION> widths;
    decltype(jpeg_memory_mgr::request_virt_barray) request = nullptr;
    decltype(jpeg_memory_mgr::access_virt_barray) access = nullptr;
    std::vector<std::vector<ProgressiveScans::Block *>> rows;
    std::vector<PackedRows> packed;   // once every scan is in
    bool dropping = false;            // a single output pass frees rows behind it
    bool zeroedApart = false;
    std::atomic<bool> sideStop {false};
    std::unique_ptr<QThreadPool> pool;   // its own: the callers may fill the global one
    QSemaphore zeroed;
    std::vector<QFuture<bool>> sides;

    explicit Decompressor(const QByteArray &file, const std::function<bool()> *cancelled)
    {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = errorExit;
        err.pub.emit_message = quiet;
        progress.pub.progress_monitor = monitor;
        progress.cancelled = cancelled;
        jpeg_create_decompress(&cinfo);
        cinfo.progress = &progress.pub;
        jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(file.constData()),
                     static_cast<unsigned long>(file.size()));
    }
    ~Decompressor()
    {
        sideStop = true;
        for (QFuture<bool> &side : sides)
            side.waitForFinished();
        jpeg_destroy_decompress(&cinfo);
    }

    static jvirt_barray_ptr requestArray(j_common_ptr common, int pool, boolean zero, JDIMENSION width,
                                         JDIMENSION height, JDIMENSION most)
    {
        // With a plan they are zeroed by the threads that fill them, not all
        // by libjpeg's one.
        auto *self = static_cast<Decompressor *>(common->client_data);
        const jvirt_barray_ptr array = self->request(common, pool, zero && !self->zeroedApart, width, height, most);
        if (self->arrays.size() < self->arrays.capacity()) {
            self->arrays.push_back(array);
            self->widths.push_back(width);
        }
        return array;
    }

    static JBLOCKARRAY accessArray(j_common_ptr common, jvirt_barray_ptr array, JDIMENSION first, JDIMENSION count,
                                   boolean writable)
    {
        auto *self = static_cast<Decompressor *>(common->client_data);
        JBLOCKARRAY band = self->access(common, array, first, count, writable);
        const auto at = std::find(self->arrays.cbegin(), self->arrays.cend(), array);
        if (writable || self->packed.empty() || at == self->arrays.cend())
            return band;
        const auto c = std::size_t(at - self->arrays.cbegin());
        PackedRows &rows = self->packed[c];
        // Block smoothing (more rows than an iMCU row's) in libjpeg 2.1
        // reads up to two iMCU rows past those it asks for.
        const auto v = JDIMENSION(self->cinfo.comp_info[c].v_samp_factor);
        const JDIMENSION more = count > v ? 2 * v : 0;
        int failure = 0;
        try {
            // An output pass asks for rows in order: those before are behind it.
            if (self->dropping)
                rows.pass(first, true);
            band = reinterpret_cast<JBLOCKARRAY>(const_cast<PackedRows::Block **>(rows.read(first, count + more)));
        } catch (const std::bad_alloc &) {
            failure = JERR_OUT_OF_MEMORY;
        } catch (const std::logic_error &) {
            failure = JERR_BAD_VIRTUAL_ACCESS;
        }
        if (failure)
            ERREXIT(common, failure);
        return band;
    }

    void startPool()
    {
        if (!pool) {
            pool = std::make_unique<QThreadPool>();
            pool->setMaxThreadCount(2);
        }
    }

    // Every block row of every component, from libjpeg's arrays.
    bool findRows(boolean writable)
    {
        if (arrays.size() != std::size_t(cinfo.num_components))
            return false;
        rows.resize(arrays.size());
        for (std::size_t c = 0; c < arrays.size(); ++c) {
            const auto v = JDIMENSION(cinfo.comp_info[c].v_samp_factor);
            rows[c].resize((cinfo.comp_info[c].height_in_blocks + v - 1) / v * v);
            for (JDIMENSION r = 0; r < rows[c].size(); r += v) {
                const JBLOCKARRAY band = access(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c], r, v, writable);
                for (JDIMENSION k = 0; k < v; ++k)
                    rows[c][r + k] = reinterpret_cast<ProgressiveScans::Block *>(band[k]);
            }
        }
        return true;
    }

    // A buffered-image start (buffered_image set, jpeg_start_decompress)
    // that reads every scan in. With a plan, made for the file whose rest
    // this reads, the AC scans are decoded on other threads meanwhile (the
    // first component, mostly luma, on one, the others on another); false
    // when they found what libjpeg would complain of, and the caller then
    // decodes the whole file alone. For more than one output pass the
    // coefficients are then packed, so that what the passes make does not
    // sit beside them whole; else the one pass frees the rows behind it.
    bool readAll(const ProgressiveScans::Plan *plan, bool passes)
    {
        cinfo.buffered_image = TRUE;
        arrays.reserve(MAX_COMPONENTS);
        widths.reserve(MAX_COMPONENTS);
        request = cinfo.mem->request_virt_barray;
        access = cinfo.mem->access_virt_barray;
        cinfo.client_data = this;
        cinfo.mem->request_virt_barray = requestArray;
        cinfo.mem->access_virt_barray = accessArray;
        zeroedApart = plan;
        jpeg_start_decompress(&cinfo);
        cinfo.mem->request_virt_barray = request;
        if (plan) {
            if (!findRows(TRUE))
                return false;
            // What the threads need of cinfo, which libjpeg goes on writing.
            struct Size { int width, height; std::size_t padded; };
            std::vector<Size> sizes;
            for (int c = 0; c < cinfo.num_components; ++c) {
                const jpeg_component_info &info = cinfo.comp_info[c];
                sizes.push_back({int(info.width_in_blocks), int(info.height_in_blocks), widths[std::size_t(c)]});
            }
            const auto components = [this, plan, sizes](int from, int to) {
                for (int c = from; c < to; ++c) {
                    const std::vector<ProgressiveScans::Block *> &component = rows[std::size_t(c)];
                    const std::size_t padded = sizes[std::size_t(c)].padded, rowBytes = padded * sizeof(ProgressiveScans::Block);
                    // libjpeg's arrays come from malloc, on small pages.
                    if (!component.empty() && component.back() == component.front() + (component.size() - 1) * padded)
                        PreferHugePages(component.front(), rowBytes * component.size());
                    for (ProgressiveScans::Block *row : component)
                        std::memset(row, 0, rowBytes);
                }
                zeroed.release();
                try {
                    for (int c = from; c < to; ++c) {
                        const Size &size = sizes[std::size_t(c)];
                        if (!plan->decode(c, rows[std::size_t(c)], size.width, size.height, sideStop))
                            return false;
                    }
                    return true;
                } catch (const std::bad_alloc &) {
                    return false;
                }
            };
            startPool();
            sides.reserve(2);   // a started thread's future is never lost
            sides.push_back(QtConcurrent::run(pool.get(), components, 0, 1));
            if (cinfo.num_components > 1)
                sides.push_back(QtConcurrent::run(pool.get(), components, 1, cinfo.num_components));
            zeroed.acquire(int(sides.size()));
        }
        // libjpeg's own loop would watch the scan count and a cancel: so does this one.
        while (!jpeg_input_complete(&cinfo)) {
            monitor(reinterpret_cast<j_common_ptr>(&cinfo));
            if (jpeg_consume_input(&cinfo) == JPEG_SUSPENDED)
                break;
        }
        if (plan) {
            for (QFuture<bool> &side : sides)
                if (!side.result())
                    return false;
            // Complete coefficients (the plan's condition) are never smoothed;
            // libjpeg, not having seen those scans, would think otherwise.
            cinfo.do_block_smoothing = FALSE;
        } else if (!findRows(FALSE)) {
            return true;
        }
        for (std::size_t c = 0; c < rows.size(); ++c)
            packed.emplace_back(std::move(rows[c]), widths[c]);   // the threads are done with them
        dropping = !passes;
        if (passes) {
            startPool();
            const auto pack = [this](std::size_t from, std::size_t to) {
                for (std::size_t c = from; c < to; ++c)
                    packed[c].pass(SIZE_MAX, false);
            };
            QFuture<void> chroma = QtConcurrent::run(pool.get(), pack, 1, packed.size());
            pack(0, 1);
            chroma.waitForFinished();
        }
        return true;
    }

    [[noreturn]] void fail() const
    {
        switch (err.stop) {
        case Stop::TooManyScans:
            throw AppError(InvalidPicture, kSource,
                           QStringLiteral("Invalid picture (the JPEG has more than %1 scans)").arg(MaxScans));
        case Stop::Cancelled:
            throw AppError(Picture::LoadCancelled, kSource, QStringLiteral("The load was cancelled"));
        default:
            if (err.pub.msg_code == JERR_OUT_OF_MEMORY)
                throw AppError(AppError::OutOfMemory, kSource);
            throw AppError(InvalidPicture, kSource,
                           QStringLiteral("Invalid picture (%1)").arg(QString::fromLocal8Bit(err.message)));
        }
    }

    // After jpeg_read_header: at least one byte of entropy-coded data follows.
    bool hasScanData() const
    {
        const std::size_t left = cinfo.src->bytes_in_buffer;
        const JOCTET *next = cinfo.src->next_input_byte;
        return left > 0 && !(left >= 2 && next[0] == 0xFF && next[1] == 0xD9);
    }
};

void chooseScale(jpeg_decompress_struct &cinfo, QSize minSize)
{
    cinfo.scale_denom = 8;
    cinfo.scale_num = 8;
    if (!minSize.isEmpty()) {
        for (unsigned num = 1; num < 8; ++num) {
            cinfo.scale_num = num;
            jpeg_calc_output_dimensions(&cinfo);
            if (qint64(cinfo.output_width) >= minSize.width() && qint64(cinfo.output_height) >= minSize.height())
                return;
        }
        cinfo.scale_num = 8;
    }
    jpeg_calc_output_dimensions(&cinfo);
}

QColorSpace iccProfile(j_decompress_ptr cinfo)
{
    JOCTET *data = nullptr;
    unsigned int length = 0;
    if (!jpeg_read_icc_profile(cinfo, &data, &length))
        return {};
    const QColorSpace space = QColorSpace::fromIccProfile(QByteArray(reinterpret_cast<const char *>(data), int(length)));
    std::free(data);
    return space;
}

// The split pays for its threads from about half a megapixel.
std::unique_ptr<const ProgressiveScans::Plan> split(const QByteArray &file)
{
    return file.size() >= 64 * 1024 ? ProgressiveScans::Split(file) : nullptr;
}

} // namespace

Header ReadHeader(const QByteArray &file)
{
    Decompressor d(file, nullptr);
    if (setjmp(d.err.jump))
        d.fail();
    jpeg_read_header(&d.cinfo, TRUE);
    if (!d.hasScanData())
        throw AppError(InvalidPicture, kSource, QStringLiteral("Invalid picture (the JPEG holds no image data)"));
    return {QSize(int(d.cinfo.image_width), int(d.cinfo.image_height)), bool(jpeg_has_multiple_scans(&d.cinfo))};
}

QString Damage(const QImage &picture) { return picture.text(QStringLiteral("Quillmoss.Damage")); }

QSize ScaledSize(const QByteArray &file, QSize minSize)
{
    Decompressor d(file, nullptr);
    if (setjmp(d.err.jump))
        d.fail();
    jpeg_read_header(&d.cinfo, TRUE);
    chooseScale(d.cinfo, minSize);
    return QSize(int(d.cinfo.output_width), int(d.cinfo.output_height));
}

bool Streamable(const QByteArray &file)
{
    Decompressor d(file, nullptr);
    QColorSpace space;
    if (setjmp(d.err.jump))
        return false;
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.cinfo, TRUE);
    const J_COLOR_SPACE colours = d.cinfo.jpeg_color_space;
    if (!d.hasScanData() || (colours != JCS_YCbCr && colours != JCS_GRAYSCALE && colours != JCS_RGB))
        return false;
    space = iccProfile(&d.cinfo);
    return !space.isValid() || space == QColorSpace(QColorSpace::SRgb);
}

struct Bands::Impl
{
    QByteArray file;
    Options options;
    std::unique_ptr<const ProgressiveScans::Plan> plan;
    std::unique_ptr<Decompressor> d;
    bool buffered = false;      // a progressive file: its coefficients stay
    bool once = false;          // or go behind the one read
    bool started = false;
    std::vector<JOCTET> buffer;
    std::vector<JSAMPROW> pointers;

    // A fresh decompressor past the header, output started; for a
    // progressive file every scan is read in.
    void open()
    {
        while (!tryOpen())
            plan.reset();
    }

    bool tryOpen()
    {
        d = std::make_unique<Decompressor>(plan ? plan->rest() : file, &options.cancelled);
        if (setjmp(d->err.jump))
            d->fail();
        jpeg_read_header(&d->cinfo, TRUE);
        if (!d->hasScanData())
            throw AppError(InvalidPicture, kSource, QStringLiteral("Invalid picture (the JPEG holds no image data)"));
        d->cinfo.out_color_space = JCS_EXT_BGRX;
        buffered = jpeg_has_multiple_scans(&d->cinfo);
        d->cinfo.buffered_image = buffered;
        jpeg_calc_output_dimensions(&d->cinfo);
        if (options.beforeAllocating)
            options.beforeAllocating(QSize(int(d->cinfo.output_width), int(d->cinfo.output_height)), buffered);
        if (buffered && !d->readAll(plan.get(), !once))
            return false;
        if (!buffered)
            jpeg_start_decompress(&d->cinfo);
        started = false;
        return true;
    }
};

Bands::Bands(const QByteArray &file, const Options &options, bool once) : d(std::make_unique<Impl>())
{
    d->file = file;
    d->options = options;
    d->once = once;
    d->plan = split(file);
    d->open();
}

Bands::~Bands() = default;

QSize Bands::size() const { return QSize(int(d->d->cinfo.output_width), int(d->d->cinfo.output_height)); }

QString Bands::damage() const { return QString::fromLocal8Bit(d->d->err.damage); }

void Bands::Read(int rows, const Band &band, QImage *into)
{
    // A plain file is decoded afresh each time; a progressive one's
    // coefficients are read out once more.
    if (d->started && !d->buffered)
        d->open();
    Decompressor &dc = *d->d;
    jpeg_decompress_struct &cinfo = dc.cinfo;
    const int height = int(cinfo.output_height);
    const int bandRows = std::max(rows, 1);
    uchar *top = nullptr;
    qsizetype stride = qsizetype(cinfo.output_width) * 4;
    try {
        if (into) {
            top = into->bits();
            stride = into->bytesPerLine();
        } else {
            d->buffer.resize(std::size_t(stride) * std::size_t(bandRows));
            top = d->buffer.data();
        }
        d->pointers.resize(std::size_t(bandRows));
    } catch (const std::bad_alloc &) {
        throw AppError(AppError::OutOfMemory, kSource);
    }
    if (setjmp(dc.err.jump))
        dc.fail();
    d->started = true;
    if (d->buffered)
        jpeg_start_output(&cinfo, cinfo.input_scan_number);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int first = int(cinfo.output_scanline);
        uchar *const rowsAt = into ? top + first * stride : top;
        // The last band's spare pointers stay inside the picture.
        for (int r = 0; r < bandRows; ++r)
            d->pointers[std::size_t(r)] = rowsAt + std::min(r, height - 1 - first) * stride;
        int count = 0;
        while (count < bandRows && cinfo.output_scanline < cinfo.output_height)
            count += int(jpeg_read_scanlines(&cinfo, d->pointers.data() + count, JDIMENSION(bandRows - count)));
        band(rowsAt, stride, first, count);
    }
    if (d->buffered)
        jpeg_finish_output(&cinfo);
}

QImage NewPicture(QSize size)
{
    // On huge pages: a large photo's first touches are otherwise a page
    // fault per 4 KiB.
    HugeArray<uchar> pixels;
    try {
        pixels = HugeArray<uchar>(std::size_t(size.width()) * 4 * std::size_t(size.height()));
    } catch (const std::bad_alloc &) {
        throw AppError(AppError::OutOfMemory, kSource);
    }
    QImage picture(pixels.get(), size.width(), size.height(), qsizetype(size.width()) * 4, QImage::Format_RGB32,
                   [](void *p) { std::free(p); }, pixels.get());
    if (picture.isNull())
        throw AppError(AppError::OutOfMemory, kSource);
    pixels.release();
    return picture;
}

namespace {

// Decode below; with a plan, its rest is what libjpeg reads, and nothing
// comes back when the plan's own thread gives up.
std::optional<QImage> decode(const QByteArray &file, const Options &options, const ProgressiveScans::Plan *plan)
{
    // Everything with a destructor lives outside the jump's reach.
    Decompressor d(plan ? plan->rest() : file, &options.cancelled);
    QImage picture;
    QColorSpace space;
    std::vector<JOCTET> cmykRow;
    bool cmyk = false;
    if (setjmp(d.err.jump))
        d.fail();
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.cinfo, TRUE);
    if (!d.hasScanData())
        throw AppError(InvalidPicture, kSource, QStringLiteral("Invalid picture (the JPEG holds no image data)"));
    space = iccProfile(&d.cinfo);
    cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
    d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    chooseScale(d.cinfo, options.minSize);
    const QSize size(int(d.cinfo.output_width), int(d.cinfo.output_height));
    if (options.beforeAllocating)
        options.beforeAllocating(size, jpeg_has_multiple_scans(&d.cinfo));
    picture = NewPicture(size);
    if (cmyk)
        cmykRow.resize(std::size_t(size.width()) * 4);

    if (plan) {
        if (!d.readAll(plan, false))
            return std::nullopt;
        jpeg_start_output(&d.cinfo, d.cinfo.input_scan_number);
    } else {
        jpeg_start_decompress(&d.cinfo);
    }
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        if (options.cancelled && options.cancelled()) {
            d.err.stop = Stop::Cancelled;
            d.fail();
        }
        const int y = int(d.cinfo.output_scanline);
        JSAMPROW row = cmyk ? cmykRow.data() : picture.scanLine(y);
        jpeg_read_scanlines(&d.cinfo, &row, 1);
        if (cmyk) {
            // Adobe's CMYK JPEGs store the inks inverted.
            const bool inverted = d.cinfo.saw_Adobe_marker;
            auto *out = reinterpret_cast<QRgb *>(picture.scanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const JOCTET *p = row + 4 * x;
                const auto ink = [&](int v) { return (inverted ? 255 - v : v) * 257; };
                out[x] = FromInks(ink(p[0]), ink(p[1]), ink(p[2]), ink(p[3]));
            }
        }
    }
    if (plan)
        jpeg_finish_output(&d.cinfo);
    jpeg_finish_decompress(&d.cinfo);
    if (space.isValid())
        picture.setColorSpace(space);
    if (d.err.damage[0])
        picture.setText(QStringLiteral("Quillmoss.Damage"), QString::fromLocal8Bit(d.err.damage));
    return picture;
}

} // namespace

QImage Decode(const QByteArray &file, const Options &options)
{
    const auto plan = split(file);
    if (!plan)
        return *decode(file, options, nullptr);
    if (std::optional<QImage> picture = decode(file, options, plan.get()))
        return *std::move(picture);
    // Its memory was granted to the first try.
    Options again = options;
    again.beforeAllocating = nullptr;
    return *decode(file, again, nullptr);
}

} // namespace JpegDecoder
