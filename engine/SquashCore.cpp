#include "SquashCore.h"

#include "AppError.h"
#include "AtomicFile.h"
#include "FileNames.h"
#include "JpegDecoder.h"
#include "JpegSizeBounds.h"
#include "MemoryBudget.h"
#include "Numbers.h"
#include "OutputPlan.h"
#include "Picture.h"
#include "Psnr.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QScopeGuard>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>
#include <optional>

namespace SquashCore {
namespace {

const QString kSource = QStringLiteral("Quillmoss.SquashCore");

// Its own: the callers may fill the global pool with squashes that wait
// for their writes.
QThreadPool &writers()
{
    static QThreadPool pool;
    return pool;
}

bool samePath(const QString &a, const QString &b)
{
    if (FileNames::absolutePath(a) == FileNames::absolutePath(b))
        return true;
    const QString ca = FileNames::canonicalPath(a);
    return !ca.isEmpty() && ca == FileNames::canonicalPath(b);
}

} // namespace

QString OutputPath(const QString &inputPath, const QString &suffix, const QString &destFolder)
{
    return OutputPlan::PathFor(inputPath, suffix, destFolder);
}

void Aim(Request &request, const SquashTargets::Target &target)
{
    request.maxFileSize = target.bytes;
    request.newWidth = target.width;
    request.newHeight = target.height;
}

bool ConfirmWithinLimit(const Request &request, std::int64_t length, const AskContinue &ask)
{
    const QString &name = request.inputPath;
    const bool jpeg = name.right(3).toUpper() == QLatin1String("JPG") || name.right(4).toUpper() == QLatin1String("JPEG");
    if (request.fixedQuality > 0 || !jpeg || length > request.maxFileSize)
        return true;
    return ask && ask();
}


void CheckNotInput(const QString &outputPath, const QString &inputPath)
{
    if (samePath(outputPath, inputPath))
        throw AppError(AppError::PathFileAccess, kSource,
                       QStringLiteral("The squashed file would replace the picture itself (%1); "
                                      "give a suffix so that the original is kept")
                           .arg(outputPath));
}

Result Squash(Request request, const Progress &progress)
{
    Result result;
    result.outputPath = request.outputPath.isEmpty() ? OutputPath(request.inputPath, request.suffix, request.destFolder)
                                                     : request.outputPath;
    CheckNotInput(result.outputPath, request.inputPath);

    QImage picture = std::move(request.picture);
    QByteArray jpeg = picture.isNull() ? request.jpeg : QByteArray();
    if (!jpeg.isEmpty() && request.newWidth > 0 && request.newHeight > 0) {
        // Scaling needs the whole picture.
        const QSize size = JpegDecoder::ReadHeader(jpeg).size;
        if (request.newWidth != float(size.width()) || request.newHeight != float(size.height())) {
            picture = JpegDecoder::Decode(jpeg, {});
            jpeg.clear();
        }
    }
    MemoryBudget::Reservation budget;
    std::optional<JpegSizeBounds> bounds;
    PixelRows pixels;
    std::function<void()> makeCoefficients;
    JpegDecoder::Header header;
    std::optional<JpegDecoder::Bands> source;
    bool keep = false;   // the decoded JPEG in result.decoded
    const auto readBands = [&](const JpegSizeBounds::Take &take, QImage *into = nullptr) {
        source->Read(64, [&](const uchar *rows, qsizetype stride, int first, int count) {
            PixelRows band;
            band.top = rows;
            band.stride = stride;
            band.width = header.size.width();
            band.height = count;
            band.pixelBytes = 4;
            band.first = first;
            take(band);
        }, into);
    };
    if (!jpeg.isEmpty()) {
        // Decoded a band at a time straight into the coefficients: the
        // picture is never held whole, and the PSNR decodes it again.
        header = JpegDecoder::ReadHeader(jpeg);
        Picture::CheckJpegSize(header.size.width(), header.size.height());
        result.size = header.size;
        const qint64 pixelCount = qint64(header.size.width()) * header.size.height();
        const auto reserve = [&](qint64 bytesPerPixel) {
            budget = MemoryBudget::instance().reserve(bytesPerPixel * pixelCount, header.size.width(),
                                                      header.size.height());
        };
        const int bytesPerPixel = header.progressive ? 7 : 4;
        keep = request.keepDecoded;
        try {
            reserve(bytesPerPixel + (keep ? 4 : 0));
        } catch (const AppError &e) {
            if (!keep || e.number() != AppError::OutOfMemory)
                throw;
            keep = false;   // the caller decodes it again if it must
            reserve(bytesPerPixel);
        }
        makeCoefficients = [&] {
            source.emplace(jpeg, JpegDecoder::Options{}, keep);   // the PSNR reads the kept picture
            if (keep)
                result.decoded = JpegDecoder::NewPicture(header.size);
            QImage *const into = keep ? &result.decoded : nullptr;
            bounds.emplace(header.size, [&](const JpegSizeBounds::Take &take) { readBands(take, into); },
                           request.threads);
            result.damage = source->damage();
        };
    } else {
        if (picture.isNull())
            throw AppError(AppError::InvalidCall, kSource, QStringLiteral("No picture to squash"));
        const float pw = float(picture.width()), ph = float(picture.height());
        if (request.newWidth > 0 && request.newHeight > 0 && !(request.newWidth == pw && request.newHeight == ph)) {
            const double w = Numbers::roundHalfEven(request.newWidth), h = Numbers::roundHalfEven(request.newHeight);
            Picture::CheckJpegSize(qint64(std::min(w, 1e9)), qint64(std::min(h, 1e9)));
            budget = Picture::ReserveSquash(picture.size(), QSize(int(w), int(h)));
            picture = Picture::StretchPicture(picture, int(w), int(h));
        } else {
            Picture::CheckJpegSize(picture.width(), picture.height());
            budget = Picture::ReserveSquash(picture.size(), picture.size());
        }
        result.size = picture.size();
        if (picture.format() != QImage::Format_RGB32)
            picture.convertTo(QImage::Format_RGB32);
        pixels = PixelRows::Of(picture);
        if (pixels.isNull())
            throw AppError(AppError::OutOfMemory, kSource);
        makeCoefficients = [&] { bounds.emplace(pixels, request.threads); };
    }
    // The colour conversion and DCT are made once, when the first quality is
    // tried (a cancel before it costs nothing); every encode, and every bound
    // that spares one, starts from these coefficients. The picture itself is
    // kept only to measure the written file against.
    const auto coefficients = [&]() -> const JpegSizeBounds & {
        if (!bounds) {
            try {
                makeCoefficients();
            } catch (const std::bad_alloc &) {
                throw AppError(AppError::OutOfMemory, kSource);
            }
        }
        return *bounds;
    };

    const auto tryQuality = [&](int q) { return !progress || progress(q); };
    // One compressor for the whole squash; its buffer holds the last encode,
    // which is always the one written.
    mIntelJPEGLibrary::Encoder encoder;
    const std::vector<std::uint8_t> *chosen = nullptr;
    int encodedQuality = 0;
    // The PSNR decodes a streamed file again on two threads; the second
    // one's way to its half is made while the encode keeps one core busy.
    std::optional<Psnr::LowerHalf> lowerHalf;
    const auto encode = [&](int q) {
        if (!lowerHalf && !jpeg.isEmpty() && !header.progressive && request.writeFile && !keep)
            lowerHalf.emplace(jpeg);
        ++result.encodes;
        encodedQuality = q;
        return &encoder.Encode(coefficients(), q);
    };

    const auto useHeader = [&](bool on) {
        encoder.SetApp1(on ? std::vector<std::uint8_t>(request.header.cbegin(), request.header.cend())
                           : std::vector<std::uint8_t>());
    };
    useHeader(!request.header.isEmpty());

    if (request.fixedQuality > 0) {
        const int q = std::clamp(request.fixedQuality, 1, 100);
        if (!tryQuality(q))
            return result;
        chosen = encode(q);
        result.quality = q;
        result.outcome = Outcome::Success;
    } else {
        // Every quality from 100 down is either proven too large by a lower
        // bound on its length or encoded for real, so the first one that
        // fits is exactly the one a plain scan would choose. The header adds
        // the same bytes to every encode, so the bounds are held to what it
        // leaves of the limit.
        const int floor = std::clamp(request.minQuality, 1, 100);
        const std::uint64_t limit = std::uint64_t(std::max(request.maxFileSize, 0));
        // The quality that fits with `extra` header bytes; 0 when none does,
        // -1 when cancelled.
        const auto search = [&](std::uint64_t extra) {
            int highest = -1;
            for (int q = 100; q >= floor; --q) {
                if (!tryQuality(q))
                    return -1;
                if (request.maxFileSize < 0 || extra > limit)
                    continue;   // nothing can fit
                const std::uint64_t room = limit - extra;
                coefficients();
                if (highest < 0) {
                    // The magnitude bound never falls as the quality rises: all
                    // qualities above the highest it allows are ruled out at once.
                    int low = 0, high = 101;
                    while (high - low > 1) {
                        const int mid = (low + high) / 2;
                        (bounds->MagnitudeBound(mid) <= room ? low : high) = mid;
                    }
                    highest = low;
                }
                if (q > highest || bounds->QuickBound(q) > room || bounds->HuffmanBound(q, room) > room)
                    continue;
                chosen = encode(q);
                if (chosen->size() <= limit)
                    return q;
            }
            return 0;
        };
        const std::uint64_t headerBytes = request.header.isEmpty() ? 0 : std::uint64_t(request.header.size()) + 4;
        int found = search(headerBytes);
        if (found == 0 && headerBytes > 0) {
            // The header costs the whole fit: the picture goes without it.
            result.headerLeftOut = true;
            useHeader(false);
            chosen = nullptr;
            encodedQuality = 0;
            found = search(0);
        }
        if (found < 0)
            return result;
        if (found > 0) {
            result.quality = found;
            result.outcome = Outcome::Success;
        } else {
            // Like the plain scan, a squash that cannot fit leaves its
            // quality-1 (floor) file.
            if (encodedQuality != floor && request.writeFile && request.writeFailed)
                chosen = encode(floor);
            result.quality = floor;
            result.outcome = Outcome::Failed;
        }
    }
    result.outputBytes = chosen ? std::int64_t(chosen->size()) : 0;
    if (!request.writeFile || (result.outcome == Outcome::Failed && !request.writeFailed))
        return result;
    // The file goes to disk on a thread of its own while the PSNR is
    // measured: flushing it can take milliseconds, which a batch would
    // otherwise spend with a core idle.
    std::exception_ptr writeFailure;
    QFuture<void> written = QtConcurrent::run(&writers(), [&] {
        try {
            AtomicFile::write(result.outputPath, chosen->data(), chosen->size());
        } catch (...) {
            writeFailure = std::current_exception();
        }
    });
    const auto join = qScopeGuard([&] { written.waitForFinished(); });
    result.encoded = QByteArray(reinterpret_cast<const char *>(chosen->data()), qsizetype(chosen->size()));
    if (!result.decoded.isNull())
        pixels = PixelRows::Of(std::as_const(result.decoded));
    if (result.outcome == Outcome::Success && !pixels.isNull()) {
        result.psnr = Psnr::JpegAgainst(pixels, *chosen);
    } else if (result.outcome == Outcome::Success) {
        // The coefficients' memory is the second decode's. A progressive
        // file's own coefficients are still held: its rows are read out
        // again instead of decoding its scans again.
        bounds.reset();
        result.psnr = header.progressive ? Psnr::JpegAgainst(header.size, readBands, *chosen)
                                         : Psnr::JpegAgainst(jpeg, *chosen, lowerHalf ? &*lowerHalf : nullptr);
    }
    written.waitForFinished();
    if (writeFailure)
        std::rethrow_exception(writeFailure);
    return result;
}

} // namespace SquashCore
