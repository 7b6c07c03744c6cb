#pragma once

#include "AppError.h"
#include "FitSearch.h"
#include "Metadata.h"
#include "OutputPlan.h"
#include "PreparedPicture.h"
#include "SquashCore.h"
#include "SquashTargets.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <cstdint>
#include <optional>

// One picture's squash, the same under both front ends: the byte limit and
// the "already within the limit" question (Plan, on the front end's thread,
// in input order), then the load, the squash, what would fit after a
// failure, the optional write at the fitting size, a preview of the written
// file and the result line (Run, on any thread).
namespace SquashJob {

// What the user chose for the whole batch.
struct Settings
{
    SquashTargets::LimitChoice limit;
    SquashTargets::SizeChoice size;
    int fixedQuality = 0;           // 1 to 100: no search, one encode at this quality
    int threads = 2;                // for the search of one squash
    bool whatWouldFit = true;       // after FAILED, search the largest size that fits
    int fitFloor = FitSearch::DefaultMinQuality;
    bool writeFit = false;          // and write that size instead of the quality-1 file
    QSize previewSize;              // the preview fits in it; empty: no preview
    Metadata::Policy metadata = Metadata::Policy::Mail;   // what the written file keeps of the input's
};

// One input, planned.
struct Job
{
    QString input;                  // the name as the user gave it; its line starts with it
    QString path;                   // the file read
    qint64 length = 0;              // the file's length when planned
    std::int32_t limit = 0;         // the byte limit; a file of exactly this length fits
    OutputPlan::Name output;
    bool declined = false;          // a JPEG already within the limit, left as it is
    std::optional<AppError> error;  // why it cannot be squashed at all (missing, a folder ...)
};

// Plans one input: its length (`length` when the caller has it, else the
// file's), the byte limit, the question for a JPEG already within the limit
// (asked through `ask`; a yes squashes it as any other, from quality 100
// down, so SUCCESS is always within the limit) and its output's name,
// claimed from `plan`. Call in input order. Never throws: a file that
// cannot be read, or a bad limit, is kept in `error`.
Job Plan(const QString &input, const QString &path, const Settings &settings, OutputPlan &plan,
         const SquashCore::AskContinue &ask, qint64 length = -1);

enum class Status
{
    Squashed,       // written within the limit (at the fitting size when `fitWritten`)
    Failed,         // the quality-1 (or floor) file was written, over the limit
    Cancelled,      // nothing was written
    NotSquashed,    // declined: already within the limit
    LoadFailed,     // the picture could not be read; nothing was written
    Error,          // the squash failed; nothing was written
};

struct Result
{
    Status status = Status::Cancelled;
    QString input;
    OutputPlan::Name output;
    std::int32_t limit = 0;
    int quality = 0;                // the quality written
    std::int64_t outputBytes = 0;   // the length of the file written
    double psnr = 0;                // dB, after a success
    QSize size;                     // the pixel size written
    QByteArray encoded;             // the bytes written
    QImage preview;                 // the written file, fitted into Settings::previewSize
    FitSearch::Fit fit;             // after FAILED: what would fit (found = false: nothing)
    bool fitWritten = false;        // the file written is the fitting size's
    QString damage;                 // why part of the picture was missing
    bool locationRemoved = false;   // the input had a position and the file written has none
    bool metadataLeftOut = false;   // the kept metadata did not fit beside the picture: none written
    std::optional<AppError> error;  // LoadFailed and Error
    QString line;                   // ResultLines::Line of this result

    // Squashed, or left alone on the user's word.
    bool ok() const { return status == Status::Squashed || status == Status::NotSquashed; }
};

// The written file fitted into `box` (empty: no preview), decoded at a
// reduced DCT scale; `size` is its pixel size.
QImage Preview(const QByteArray &encoded, QSize size, QSize box);

// Loads the job's picture and runs the job. `progress` is called before
// every try (quality 100, 99 ...; the fit search's tries too); false
// cancels. Never throws: every failure is the result's.
Result Run(const Job &job, const Settings &settings, const SquashCore::Progress &progress = {});

// The same for a picture already loaded through PreparedPicture.
Result Run(const Job &job, const PreparedPicture &picture, const Settings &settings,
           const SquashCore::Progress &progress = {});

} // namespace SquashJob
