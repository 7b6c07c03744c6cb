#include "SquashCore.h"

#include "AppError.h"
#include "AtomicFile.h"
#include "JpegCoefficients.h"
#include "Numbers.h"
#include "Picture.h"
#include "Psnr.h"
#include "cDIBSection.h"
#include "clsPathER.h"
#include "mIntelJPEGLibrary.h"

#include <QFileInfo>
#include <optional>

namespace SquashCore {
namespace {

const QString kSource = QStringLiteral("Quillmoss.SquashCore");

bool samePath(const QString &a, const QString &b)
{
    const QFileInfo fa(a), fb(b);
    if (fa.absoluteFilePath() == fb.absoluteFilePath())
        return true;
    return fa.exists() && fb.exists() && fa.canonicalFilePath() == fb.canonicalFilePath();
}

} // namespace

QString OutputPath(const QString &inputPath, const QString &suffix, const QString &destFolder)
{
    clsPathER path;
    path.SetFullPath(inputPath);
    QString base;
    try {
        base = path.GetBaseFilename();
    } catch (const AppError &e) {
        if (e.number() != AppError::InvalidCall)
            throw;
        base = path.GetFilename();   // a name without a dot is all base name
    }
    const QString folder = destFolder.isEmpty() ? path.GetPath() : destFolder;
    return folder + clsPathER::Separator + base + suffix + QStringLiteral(".jpg");
}

QString ResultText(const Result &result)
{
    if (result.outcome == Outcome::Success)
        return QStringLiteral("SUCCESS - File squashed to %1% JPEG quality").arg(result.quality);
    return QStringLiteral("FAILED - Unable to squash file to the specified picture and file sizes");
}

Result Squash(const Request &request, const Progress &progress)
{
    Result result;
    result.outputPath = OutputPath(request.inputPath, request.suffix, request.destFolder);
    if (samePath(result.outputPath, request.inputPath))
        throw AppError(AppError::PathFileAccess, kSource,
                       QStringLiteral("The squashed file would replace the picture itself (%1); "
                                      "give a suffix so that the original is kept")
                           .arg(result.outputPath));

    QImage picture = request.picture;
    if (picture.isNull())
        throw AppError(AppError::InvalidCall, kSource, QStringLiteral("No picture to squash"));
    const float pw = float(picture.width()), ph = float(picture.height());
    if (request.newWidth > 0 && request.newHeight > 0 && !(request.newWidth == pw && request.newHeight == ph)) {
        const double w = Numbers::roundHalfEven(request.newWidth), h = Numbers::roundHalfEven(request.newHeight);
        Picture::CheckJpegSize(qint64(std::min(w, 1e9)), qint64(std::min(h, 1e9)));
        picture = Picture::StretchPicture(picture, int(w), int(h));
    } else {
        Picture::CheckJpegSize(picture.width(), picture.height());
    }

    result.size = picture.size();
    cDIBSection dib;
    dib.CreateFromPicture(picture);
    picture = QImage();
    if (!dib.DIBSectionBitsPtr())
        throw AppError(AppError::OutOfMemory, kSource);

    const auto tryQuality = [&](int q) { return !progress || progress(q); };
    std::vector<std::uint8_t> chosen;
    const auto encode = [&](int q) {
        ++result.encodes;
        return mIntelJPEGLibrary::EncodeDib(dib, q);
    };

    if (request.fixedQuality > 0 || request.continueAnyway) {
        const int q = request.continueAnyway ? 100 : std::clamp(request.fixedQuality, 1, 100);
        if (!tryQuality(q))
            return result;
        chosen = encode(q);
        result.quality = q;
        result.outcome = Outcome::Success;
    } else {
        // Every quality from 100 down is either proven too large by a lower
        // bound on its length or encoded for real, so the first one that
        // fits is exactly the one a plain scan would choose.
        std::optional<JpegCoefficients> bounds;
        const int floor = std::clamp(request.minQuality, 1, 100);
        const std::uint64_t limit = std::uint64_t(std::max(request.maxFileSize, 0));
        for (int q = 100; q >= floor; --q) {
            if (!tryQuality(q))
                return result;
            if (request.maxFileSize < 0)
                continue;   // nothing can fit
            {
                if (!bounds)
                    bounds.emplace(dib, request.threads);
                if (bounds->QuickBound(q) > limit || bounds->HuffmanBound(q) > limit)
                    continue;
            }
            std::vector<std::uint8_t> bytes = encode(q);
            if (bytes.size() <= limit) {
                chosen = std::move(bytes);
                result.quality = q;
                result.outcome = Outcome::Success;
                break;
            }
            if (q == floor)
                chosen = std::move(bytes);
        }
        if (result.outcome != Outcome::Success) {
            // Like the plain scan, a squash that cannot fit leaves its
            // quality-1 (floor) file.
            if (chosen.empty() && request.writeFile)
                chosen = encode(floor);
            result.quality = floor;
            result.outcome = Outcome::Failed;
        }
    }
    result.outputBytes = std::int64_t(chosen.size());
    if (!request.writeFile)
        return result;
    AtomicFile::write(result.outputPath, chosen.data(), chosen.size());
    if (result.outcome == Outcome::Success)
        result.psnr = Psnr::JpegAgainst(dib, chosen);
    return result;
}

} // namespace SquashCore
