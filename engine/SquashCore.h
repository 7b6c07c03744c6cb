#pragma once

#include "SquashTargets.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>

// The squash that the window and the command line both run: scale the
// decoded picture once, find the highest JPEG quality from 100 down to 1
// whose file fits the byte limit, and write only that file, atomically.
namespace SquashCore {

struct Request
{
    QImage picture;                 // the decoded picture at its own size
    QByteArray jpeg;                // or, when picture is null: a JPEG file (JpegDecoder::Streamable)
                                    // decoded here band by band, never held whole; not scaled
    QString inputPath;
    std::int32_t maxFileSize = 0;   // the byte limit; a file of exactly this length fits
    float newWidth = 0;             // target size; 0 or less, or the picture's own size: no scaling
    float newHeight = 0;
    QString suffix = QStringLiteral("_squashed");
    QString destFolder;             // empty: beside the input
    QString outputPath;             // empty: OutputPath(inputPath, suffix, destFolder)
    int fixedQuality = 0;           // 1 to 100: no search, one encode at this quality
    int threads = 2;
    int minQuality = 1;             // the search's floor: a squash that needs less FAILS
    bool writeFile = true;          // false: search only; the Result says what would be written
    bool writeFailed = true;        // false: a FAILED squash writes nothing and encodes no file of its own
    QByteArray header;              // an APP1 segment's contents (Metadata::Segment) written into the
                                    // file and counted against the limit; empty: none
    bool keepDecoded = false;       // with jpeg: the picture is also kept whole, in Result::decoded,
                                    // when memory allows (smaller sizes are to be scaled from it)
};

enum class Outcome { Success, Failed, Cancelled };

struct Result
{
    Outcome outcome = Outcome::Cancelled;
    int quality = 0;                // the quality written
    QString outputPath;
    std::int64_t outputBytes = 0;
    int encodes = 0;                // full encodes made (the rest were ruled out by bounds)
    QSize size;                     // the pixel size encoded
    double psnr = 0;                // dB against the scaled source, all three channels; 0 unless
                                    // a successful squash wrote its file
    QByteArray encoded;             // the bytes written (empty when nothing was)
    bool headerLeftOut = false;     // nothing fitted with the header: the file has none
    QString damage;                 // a streamed JPEG's: why part of it was missing
    QImage decoded;                 // with Request::keepDecoded: the JPEG's picture, Format_RGB32
};

// Called with each quality in turn, 100, 99, ... , before it is tried, from
// the thread running Squash. Returning false cancels: nothing is written.
using Progress = std::function<bool(int quality)>;

// OutputPlan::PathFor.
QString OutputPath(const QString &inputPath, const QString &suffix, const QString &destFolder = QString());

// Sets the byte limit and the target size of the request.
void Aim(Request &request, const SquashTargets::Target &target);

// Asked when the input is a JPEG (by its name) whose file of `length` bytes
// already fits the limit: true squashes it anyway, false leaves it.
using AskContinue = std::function<bool()>;

// Whether the squash should run. For a JPEG already within the limit the
// answer of `ask` decides; a yes squashes it as any other picture, from
// quality 100 down, so that a success is always within the limit. Every
// other request runs without asking.
bool ConfirmWithinLimit(const Request &request, std::int64_t length, const AskContinue &ask);

// Throws AppError 75 when the output would be the input itself.
void CheckNotInput(const QString &outputPath, const QString &inputPath);

// Throws AppError for a picture or target that cannot be encoded (5, 7), an
// output that would be the input itself (75, before anything is written),
// and the writer's and file system's errors. Without writeFile nothing is
// written, outputBytes is the chosen length and a FAILED search encodes
// no file of its own. The header's bytes count like any other: when no
// quality down to the floor fits with it, the search runs again without it. A request handed over as an rvalue lets the squash
// release the picture as soon as its 24-bit copy exists, instead of holding
// both to the end.
Result Squash(Request request, const Progress &progress = {});

} // namespace SquashCore
