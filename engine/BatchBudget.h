#pragma once

#include "SquashCore.h"
#include "SquashJob.h"

#include <QString>
#include <cstdint>
#include <vector>

// One byte budget shared by a batch: every picture gets the same JPEG
// quality, the highest at which the whole batch fits; the bytes left over
// then raise pictures one quality step at a time, the lowest PSNR first,
// until no further step fits. What counts is the sum of the files, or the
// encoded mail that carries them (MailSize).
//
// Lengths are exact: every length the split relies on is a real encode.
// Lower bounds (JpegSizeBounds) rule out qualities without encoding and
// guide the search for the common quality. File lengths rise with the
// quality almost always; the common quality found fits and the next one up
// does not.
//
// Memory: per picture its lengths and PSNRs per quality are kept for the
// whole run, and the encoded files of the qualities it may still be written
// at (around its common quality: two or three times the budget in all);
// those are the files written. Its 24-bit picture at the size it is written
// at is kept between passes while all those kept stay within a quarter of
// the process's memory budget; beyond that a picture is loaded and scaled
// again when it is next needed, so a big batch costs time, not memory.
namespace BatchBudget {

enum class Measure { Files, Mail };

struct Budget
{
    std::int64_t bytes = 0;
    Measure measure = Measure::Files;
};

struct Outcome
{
    std::vector<SquashJob::Result> results;   // one per job, in order
    bool tooBig = false;            // at their chosen sizes not even the floor fits
    bool written = false;           // the files were written
    int scalePercent = 100;         // after tooBig: the common scale of the sizes at which the
                                    // floor fits (0: none), written with writeFit
    int pictures = 0;               // the pictures the budget was shared among
    std::int64_t fileBytes = 0;     // the written files together
    std::int64_t mailBytes = 0;     // the mail that carries them
    Budget budget;
    int floor = 0;
    QString summary;                // Summary(*this)
};

// Squashes the planned jobs (SquashJob::Plan, in order) into one budget.
// settings.size is each picture's size choice, settings.fitFloor the lowest
// quality; when even that does not fit, the common scale of all picture
// sizes at which it does is searched, and written only with
// settings.writeFit. Nothing is written unless the whole batch fits. Jobs
// that cannot be loaded get their error and are left out of the budget.
// `progress` is called before each encode with its quality, from the
// threads of Qt's global pool, several at once; false cancels before
// anything is written. Never throws: a failure is every result's.
Outcome Run(const std::vector<SquashJob::Job> &jobs, const SquashJob::Settings &settings, const Budget &budget,
            const SquashCore::Progress &progress = {});

// "12 pictures, 9.87 MB of 10 MB; quality 71-74%, PSNR 38.2-41.0 dB"; for a
// mail "12 pictures, 9.87 MB; as a mail 13.2 MB of 13.5 MB; ..."; or, when
// the batch does not fit, the common scale that would.
QString Summary(const Outcome &outcome);

// "9.87 MB", "850.5 KB", "120 bytes" (KB and MB of 1024).
QString SizeText(std::int64_t bytes);

} // namespace BatchBudget
