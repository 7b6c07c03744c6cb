#pragma once

#include "AppError.h"
#include "FitSearch.h"
#include "SquashCore.h"
#include "SquashJob.h"

#include <QString>

// Every text a squash's result is told in, for both front ends.
namespace ResultLines {

// "SUCCESS - File squashed to 87% JPEG quality", or the failure text.
QString Verdict(const SquashCore::Result &result);

// "At 1200 x 800 it fits at 63% JPEG quality"
QString FitText(const FitSearch::Fit &fit);

// "SUCCESS - File squashed to 63% JPEG quality at 1200 x 800"
QString FitVerdict(const FitSearch::Fit &fit);

// "Picture is already within the file size limit; not squashed"
QString NotSquashed();

// "Squash cancelled: nothing was written"
QString Cancelled();

// A picture that could not be loaded: the "Invalid Picture" text naming
// the formats read, with the cause in brackets when one is known; for any
// other error "Error N: description".
QString LoadErrorText(const AppError &error);

// The result without the names: the verdict, the figures in brackets
// ("98380 bytes, PSNR 43.6 dB"), any note (a renamed output, a damaged
// picture) and, after FAILED, what would fit on a line of its own.
QString Text(const SquashJob::Result &result);

// "INPUT -> OUTPUT: " and Text, or "INPUT: " and the text of a result that
// wrote nothing.
QString Line(const SquashJob::Result &result);

// The short caption of a written file: "Squashed: 96 KB, 92%, 43.6 dB".
QString Caption(const SquashJob::Result &result);

// One file's line in the window's list of a batch, its name and the result
// in the caption's figures, short enough to read on one line:
// "horse.gif: SUCCESS, 48 KB, 92%, 43.6 dB",
// "Kleiber.jpg: FAILED, 62 KB at 1%; fits at 1328 x 747 at 50%", or the
// name and the text of a result that wrote nothing.
QString ShortLine(const SquashJob::Result &result);

} // namespace ResultLines
