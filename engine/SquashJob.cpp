#include "SquashJob.h"

#include "ErrorHandlers.h"
#include "FileNames.h"
#include "JpegDecoder.h"
#include "Picture.h"
#include "ResultLines.h"

namespace SquashJob {
namespace {

Result finish(Result result)
{
    result.line = ResultLines::Line(result);
    return result;
}

} // namespace

QImage Preview(const QByteArray &encoded, QSize size, QSize box)
{
    if (box.isEmpty() || encoded.isEmpty() || size.isEmpty())
        return {};
    const QSize fitted = size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)).boundedTo(size);
    JpegDecoder::Options options;
    options.minSize = fitted;
    const QImage decoded = JpegDecoder::Decode(encoded, options);
    return decoded.size() == fitted ? decoded : decoded.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

Job Plan(const QString &input, const QString &path, const Settings &settings, OutputPlan &plan,
         const SquashCore::AskContinue &ask, qint64 length)
{
    Job job;
    job.input = input;
    job.path = path;
    try {
        const FileNames::Status info = FileNames::status(path);
        if (!info.isFile)
            Picture::PictureSize(path);   // says why: missing, a folder, unreadable
        job.length = length >= 0 ? length : info.size;
        job.limit = SquashTargets::ByteLimitFor(settings.limit, std::int32_t(std::min<qint64>(job.length, INT32_MAX)));
        SquashCore::Request asked;
        asked.inputPath = path;
        asked.maxFileSize = job.limit;
        asked.fixedQuality = settings.fixedQuality;
        // A file that is no picture is not asked about: its load says so.
        const auto askIfPicture = [&] {
            try {
                Picture::PictureSize(path);
            } catch (const AppError &) {
                return true;
            }
            return ask && ask();
        };
        job.declined = !SquashCore::ConfirmWithinLimit(asked, job.length, askIfPicture);
        if (!job.declined)
            job.output = plan.Claim(path);
    } catch (...) {
        job.error = ErrorHandlers::asAppError(std::current_exception());
    }
    return job;
}

Result Run(const Job &job, const Settings &settings, const SquashCore::Progress &progress)
{
    if (job.error || job.declined)
        return Run(job, PreparedPicture{}, settings, progress);
    PreparedPicture picture;
    try {
        picture = PreparedPicture::ForSquash(job.path, settings.size);
    } catch (...) {
        Result result;
        result.input = job.input;
        result.status = Status::LoadFailed;
        result.error = ErrorHandlers::asAppError(std::current_exception());
        return finish(result);
    }
    return Run(job, picture, settings, progress);
}

Result Run(const Job &job, const PreparedPicture &picture, const Settings &settings,
           const SquashCore::Progress &progress)
{
    Result result;
    result.input = job.input;
    result.output = job.output;
    result.limit = job.limit;
    if (job.error) {
        result.status = Status::LoadFailed;
        result.error = job.error;
        return finish(result);
    }
    if (job.declined) {
        result.status = Status::NotSquashed;
        return finish(result);
    }
    result.damage = picture.damage;
    try {
        SquashCore::Request request;
        request.picture = picture.picture;
        request.jpeg = picture.jpeg;
        request.inputPath = job.path;
        request.outputPath = job.output.path;
        request.fixedQuality = settings.fixedQuality;
        request.threads = settings.threads;
        request.header = picture.metadata.Segment(settings.metadata);
        // A fit to be written is scaled from the whole picture: a JPEG the
        // squash decodes itself is kept, so that it is decoded once.
        request.keepDecoded = settings.whatWouldFit && settings.writeFit;
        SquashTargets::Target target{job.limit, 0, 0};
        SquashTargets::SizeFor(settings.size, float(picture.fileSize.width()), float(picture.fileSize.height()),
                               target.width, target.height);
        SquashCore::Aim(request, target);

        // A fit to be written takes the place of the floor file, which is
        // then written only when no fit is.
        request.writeFailed = !(settings.whatWouldFit && settings.writeFit);
        SquashCore::Result squashed = SquashCore::Squash(request, progress);
        if (result.damage.isEmpty())
            result.damage = squashed.damage;
        if (squashed.outcome == SquashCore::Outcome::Failed && settings.whatWouldFit) {
            SquashCore::Request fit = request;
            fit.keepDecoded = request.keepDecoded = false;
            if (fit.picture.isNull())   // smaller sizes are scaled from the whole picture
                fit.picture = !squashed.decoded.isNull() ? std::move(squashed.decoded)
                                                         : PreparedPicture::Load(job.path, settings.size).picture;
            fit.header.clear();   // it did not fit even at the failed size
            fit.minQuality = settings.fitFloor;
            QImage copy;
            result.fit = FitSearch::WhatWouldFit(fit, progress, &copy);
            if (result.fit.found && settings.writeFit) {
                // The same encode the search measured.
                const MemoryBudget::Reservation held = Picture::ReserveSquash(fit.picture.size(), result.fit.size);
                fit.picture = std::move(copy);
                fit.newWidth = float(result.fit.size.width());
                fit.newHeight = float(result.fit.size.height());
                fit.fixedQuality = result.fit.quality;
                squashed = SquashCore::Squash(fit, progress);
                result.fitWritten = squashed.outcome == SquashCore::Outcome::Success;
            }
            if (squashed.outcome == SquashCore::Outcome::Failed && !request.writeFailed) {
                request.writeFailed = true;
                squashed = SquashCore::Squash(request, progress);
            }
        }
        switch (squashed.outcome) {
        case SquashCore::Outcome::Success: result.status = Status::Squashed; break;
        case SquashCore::Outcome::Failed: result.status = Status::Failed; break;
        case SquashCore::Outcome::Cancelled: result.status = Status::Cancelled; break;
        }
        result.quality = squashed.quality;
        result.outputBytes = squashed.outputBytes;
        result.psnr = squashed.psnr;
        result.size = squashed.size;
        result.encoded = squashed.encoded;
        result.preview = Preview(result.encoded, result.size, settings.previewSize);
        result.metadataLeftOut = !request.header.isEmpty() && (squashed.headerLeftOut || result.fitWritten);
        const bool positionWritten = !result.metadataLeftOut && Metadata::FromExif(request.header).hasPosition();
        result.locationRemoved = picture.metadata.hasPosition() && !positionWritten;
    } catch (...) {
        result.status = Status::Error;
        result.error = ErrorHandlers::asAppError(std::current_exception());
    }
    return finish(result);
}

} // namespace SquashJob
