#include "BatchBudget.h"

#include "AtomicFile.h"
#include "ErrorHandlers.h"
#include "JpegSizeBounds.h"
#include "MailSize.h"
#include "MemoryBudget.h"
#include "Metadata.h"
#include "Numbers.h"
#include "Picture.h"
#include "PreparedPicture.h"
#include "Psnr.h"
#include "ResultLines.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QtConcurrent/QtConcurrentMap>

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

namespace BatchBudget {
namespace {

struct CancelledRun {};

struct Entry
{
    const SquashJob::Job *job = nullptr;
    QString name;                   // the attachment's name: the output file's
    QSize own;                      // the size the picture's own choice gives
    QSize size;                     // that size at the current scale
    std::shared_ptr<const cDIBSection> image;   // the picture at `size`, while there is room for it
    std::array<std::int64_t, 101> length{};    // exact lengths per quality; -1: not encoded
    std::array<double, 101> psnr{};
    std::array<std::uint64_t, 101> bound{};    // quick lower bounds, once `bounded`
    std::array<std::uint64_t, 101> huffman{};  // tight lower bounds where taken; 0: not taken
    std::map<int, std::vector<std::uint8_t>> bytes;   // the encodes still of use
    bool bounded = false;
    // The kept metadata, written into every encode, so that each length
    // measured is the file's; read with the picture's first load.
    std::vector<std::uint8_t> header;
    bool headerRead = false;
    bool hadPosition = false;
    int quality = 0;
    QImage preview;                 // of the written file, when the settings ask for one
    std::exception_ptr error;

    void reset(QSize s)
    {
        size = s;
        length.fill(-1);
        psnr.fill(std::numeric_limits<double>::quiet_NaN());
        huffman.fill(0);
        bytes.clear();
        bounded = false;
    }
};

qint64 heldBytes(const cDIBSection &dib) { return qint64(dib.BytesPerScanLine()) * dib.Height(); }

QSize scaledSize(QSize own, int percent)
{
    if (percent == 100)
        return own;
    return QSize(std::max(1, int(Numbers::roundHalfEven(own.width() * percent / 100.0))),
                 std::max(1, int(Numbers::roundHalfEven(own.height() * percent / 100.0))));
}

class Split
{
public:
    Split(std::vector<Entry> &entries, const SquashJob::Settings &settings, const Budget &budget,
          const SquashCore::Progress &progress)
        : m_entries(entries), m_settings(settings), m_budget(budget), m_progress(progress),
          m_room(MemoryBudget::instance().total() / 4)
    {
    }

    std::int64_t cost(const Entry &e, std::int64_t length) const
    {
        return m_budget.measure == Measure::Mail ? MailSize::AttachmentBytes(e.name, length) : length;
    }
    std::int64_t fixed() const { return m_budget.measure == Measure::Mail ? MailSize::FixedBytes() : 0; }

    // Every picture at `percent` of its own size, its bounds taken.
    // With keepErrors a picture that fails keeps its error instead.
    void setScale(int percent, bool keepErrors = false)
    {
        for (Entry &e : m_entries) {
            drop(e);
            e.reset(scaledSize(e.own, percent));
        }
        each(all(), [&](Entry &e) {
            if (!e.error)
                visit(e, {}, 0);
        }, keepErrors);
    }

    // The highest quality from the floor up at which the batch fits, or 0.
    int commonQuality()
    {
        const int floor = std::clamp(m_settings.fitFloor, 1, 100);
        int highest = 0;   // every quality above it is ruled out by bounds alone
        for (int q = 100; q >= floor && !highest; --q)
            if (lowerSum(q) <= m_budget.bytes)
                highest = q;
        if (!highest)
            return 0;
        int fitting = floor - 1, over = highest + 1, probe = estimate(floor, highest);
        for (int probes = 1; over - fitting > 1; ++probes) {
            (fits(probe) ? fitting : over) = probe;
            // Only the encodes that may still be written are kept.
            for (Entry &e : m_entries)
                std::erase_if(e.bytes, [&](const auto &b) { return b.first < fitting || b.first > over; });
            if (over - fitting <= 1)
                break;
            // Each picture's bound scaled by its last exact length guides the
            // next probe; bisection takes over when that keeps missing.
            probe = probes < 3 ? estimate(fitting + 1, over - 1) : (fitting + over) / 2;
        }
        return fitting >= floor ? fitting : 0;
    }

    // Whether every picture at the floor fits.
    bool floorFits()
    {
        return fits(std::clamp(m_settings.fitFloor, 1, 100));
    }

    // From `common` for all, the leftover raises the lowest PSNR first.
    void raise(int common)
    {
        std::int64_t left = m_budget.bytes - exactSum(common);
        for (Entry &e : m_entries)
            e.quality = common;
        each(all(), [&](Entry &e) { visit(e, {std::min(common + 1, 100)}, common); });
        std::vector<Entry *> open = all();
        std::erase_if(open, [](const Entry *x) { return x->quality >= 100; });
        while (!open.empty()) {
            const auto lowest = std::min_element(open.begin(), open.end(), [](const Entry *a, const Entry *b) {
                return a->psnr[a->quality] < b->psnr[b->quality];
            });
            Entry &e = **lowest;
            const int q = e.quality;
            const std::int64_t step = cost(e, e.length[q + 1]) - cost(e, e.length[q]);
            if (step > left) {
                open.erase(lowest);   // unless the leftover grows, it never fits later
                continue;
            }
            left -= step;
            e.quality = q + 1;
            e.bytes.erase(q);
            if (e.quality < 100)
                run([&] { visit(e, {e.quality + 1}, e.quality); });
            if (step < 0)   // a file that shrank a step up: the others may fit again
                open = all();
            std::erase_if(open, [](const Entry *x) { return x->quality >= 100; });
        }
    }

    // Writes the picture's file at its quality; its PSNR is measured on the way.
    void write(Entry &e)
    {
        visit(e, {}, e.quality);
        const std::vector<std::uint8_t> &bytes = e.bytes.at(e.quality);
        AtomicFile::write(e.job->output.path, bytes.data(), bytes.size());
        e.preview = SquashJob::Preview(QByteArray::fromRawData(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())),
                                       e.size, m_settings.previewSize);
        drop(e);
        e.bytes.clear();
    }

    // The 24-bit picture at its current size: held, or loaded and scaled again.
    std::shared_ptr<const cDIBSection> image(Entry &e)
    {
        if (e.image)
            return e.image;
        SquashTargets::SizeChoice exact{SquashTargets::SizeChoice::Kind::Pixels, double(e.size.width()),
                                        double(e.size.height())};
        PreparedPicture prepared = PreparedPicture::Load(e.job->path, exact);
        if (!e.headerRead) {
            const QByteArray segment = prepared.metadata.Segment(m_settings.metadata);
            e.header.assign(segment.cbegin(), segment.cend());
            e.hadPosition = prepared.metadata.hasPosition();
            e.headerRead = true;
        }
        QImage picture = std::move(prepared.picture);
        if (picture.size() != e.size)
            picture = Picture::StretchPicture(picture, e.size.width(), e.size.height());
        auto dib = std::make_shared<cDIBSection>();
        dib->CreateFromPicture(picture);
        if (!dib->DIBSectionBitsPtr())
            throw AppError(AppError::OutOfMemory, QStringLiteral("Quillmoss.BatchBudget"));
        const qint64 bytes = heldBytes(*dib);
        if (m_held.fetch_add(bytes) + bytes <= m_room)
            e.image = dib;
        else
            m_held -= bytes;
        return dib;
    }

    void drop(Entry &e)
    {
        if (e.image)
            m_held -= heldBytes(*e.image);
        e.image.reset();
    }

    // Runs f on each entry on the pool; the first failure is thrown here.
    template <typename F>
    void each(std::vector<Entry *> entries, F f, bool keepErrors = false)
    {
        QtConcurrent::blockingMap(entries, [&](Entry *e) {
            try {
                f(*e);
            } catch (...) {
                e->error = std::current_exception();
            }
        });
        for (Entry *e : entries)
            if (e->error && !keepErrors)
                std::rethrow_exception(std::exchange(e->error, nullptr));
        if (m_cancelled)
            throw CancelledRun{};
    }
    template <typename F>
    void run(F f)
    {
        f();
        if (m_cancelled)
            throw CancelledRun{};
    }

    std::vector<Entry *> all()
    {
        std::vector<Entry *> list;
        for (Entry &e : m_entries)
            list.push_back(&e);
        return list;
    }

private:
    // Exact lengths at `qualities` and, for psnrAt > 0, the PSNR there.
    void visit(Entry &e, const std::vector<int> &qualities, int psnrAt)
    {
        const bool needed = !e.bounded || (psnrAt > 0 && (std::isnan(e.psnr[psnrAt]) || !e.bytes.count(psnrAt)))
                            || std::any_of(qualities.begin(), qualities.end(), [&](int q) { return e.length[q] < 0; });
        if (!needed || m_cancelled)
            return;
        const std::shared_ptr<const cDIBSection> held = image(e);
        const cDIBSection &dib = *held;
        // The bounds are of the entropy-coded picture; the header adds its
        // segment and marker to every file.
        const std::uint64_t headerBytes = e.header.empty() ? 0 : e.header.size() + 4;
        if (!e.bounded) {
            const JpegSizeBounds bounds(dib, 1);
            for (int q = 1; q <= 100; ++q)
                e.bound[q] = std::max(bounds.MagnitudeBound(q), bounds.QuickBound(q)) + headerBytes;
            // Within a fraction of a per cent of the file: the anchors of
            // the first estimate.
            for (const int q : {60, 90})
                e.huffman[q] = bounds.HuffmanBound(q) + headerBytes;
            e.bounded = true;
        }
        mIntelJPEGLibrary::Encoder encoder;
        encoder.SetApp1(e.header);
        for (const int q : qualities) {
            if (e.length[q] >= 0)
                continue;
            if (m_progress && !m_progress(q)) {
                m_cancelled = true;
                return;
            }
            e.bytes[q] = encoder.Encode(dib, q);
            e.length[q] = std::int64_t(e.bytes[q].size());
        }
        if (psnrAt > 0) {
            if (!e.bytes.count(psnrAt))
                e.bytes[psnrAt] = encoder.Encode(dib, psnrAt);
            e.length[psnrAt] = std::int64_t(e.bytes[psnrAt].size());
            if (std::isnan(e.psnr[psnrAt]))
                e.psnr[psnrAt] = Psnr::JpegAgainst(dib, e.bytes[psnrAt]);
        }
    }

    std::int64_t lowerSum(int q) const
    {
        std::int64_t sum = fixed();
        for (const Entry &e : m_entries)
            sum += cost(e, e.length[q] >= 0 ? e.length[q] : std::int64_t(std::max(e.bound[q], e.huffman[q])));
        return sum;
    }

    std::int64_t exactSum(int q) const
    {
        std::int64_t sum = fixed();
        for (const Entry &e : m_entries)
            sum += cost(e, e.length[q]);
        return sum;
    }

    bool fits(int q)
    {
        if (lowerSum(q) > m_budget.bytes)
            return false;
        each(all(), [&](Entry &e) { visit(e, {q}, 0); });
        return exactSum(q) <= m_budget.bytes;
    }

    // The highest quality in [low, high] whose estimated sum fits; low when none.
    int estimate(int low, int high) const
    {
        for (int q = high; q > low; --q) {
            std::int64_t sum = fixed();
            for (const Entry &e : m_entries) {
                if (e.length[q] >= 0) {
                    sum += cost(e, e.length[q]);
                    continue;
                }
                // The nearest quality with an exact length or a tight bound
                // tells how far the quick bound falls short there.
                // The nearest below and above with an exact length or a
                // tight bound tell how far the quick bound falls short;
                // between them the shortfall is taken as linear.
                const auto ratioAt = [&](int a) {
                    if (a < 1 || a > 100 || (e.length[a] < 0 && !e.huffman[a]))
                        return -1.0;
                    const double known = e.length[a] >= 0 ? double(e.length[a]) : double(e.huffman[a]);
                    return known / double(std::max<std::uint64_t>(e.bound[a], 1));
                };
                int below = q, above = q;
                while (below >= 1 && ratioAt(below) < 0)
                    --below;
                while (above <= 100 && ratioAt(above) < 0)
                    ++above;
                double ratio = 1.0;
                if (below >= 1 && above <= 100)
                    ratio = ratioAt(below) + (ratioAt(above) - ratioAt(below)) * (q - below) / std::max(1, above - below);
                else if (below >= 1 || above <= 100)
                    ratio = ratioAt(below >= 1 ? below : above);
                sum += cost(e, std::int64_t(double(e.bound[q]) * ratio));
            }
            if (sum <= m_budget.bytes)
                return q;
        }
        return low;
    }

    std::vector<Entry> &m_entries;
    const SquashJob::Settings &m_settings;
    const Budget &m_budget;
    const SquashCore::Progress &m_progress;
    const qint64 m_room;
    std::atomic<qint64> m_held = 0;
    std::atomic<bool> m_cancelled = false;
};

// Rounded down, so that a total never shows as more than it is.
QString trimmedNumber(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    QString text = QString::number(std::floor(value * scale) / scale, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

QString range(double low, double high, int decimals)
{
    const QString a = QString::number(low, 'f', decimals), b = QString::number(high, 'f', decimals);
    return a == b ? a : a + QLatin1Char('-') + b;
}

QString pictures(int n) { return n == 1 ? QStringLiteral("1 picture") : QStringLiteral("%1 pictures").arg(n); }

} // namespace

QString SizeText(std::int64_t bytes)
{
    if (bytes >= 1024 * 1024)
        return trimmedNumber(bytes / (1024.0 * 1024.0), 2) + QStringLiteral(" MB");
    if (bytes >= 1024)
        return trimmedNumber(bytes / 1024.0, 1) + QStringLiteral(" KB");
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString Summary(const Outcome &outcome)
{
    const QString budget = SizeText(outcome.budget.bytes);
    const bool mail = outcome.budget.measure == Measure::Mail;
    std::vector<const SquashJob::Result *> written;
    for (const SquashJob::Result &r : outcome.results)
        if (r.status == SquashJob::Status::Squashed)
            written.push_back(&r);
    if (outcome.written && !written.empty()) {
        int qLow = 100, qHigh = 0;
        double pLow = std::numeric_limits<double>::infinity(), pHigh = -pLow;
        for (const SquashJob::Result *r : written) {
            qLow = std::min(qLow, r->quality);
            qHigh = std::max(qHigh, r->quality);
            pLow = std::min(pLow, r->psnr);
            pHigh = std::max(pHigh, r->psnr);
        }
        QString text = pictures(int(written.size()));
        if (outcome.scalePercent != 100)
            text += QStringLiteral(" at %1% of their size").arg(outcome.scalePercent);
        text += mail ? QStringLiteral(", %1; as a mail %2 of %3").arg(SizeText(outcome.fileBytes), SizeText(outcome.mailBytes), budget)
                     : QStringLiteral(", %1 of %2").arg(SizeText(outcome.fileBytes), budget);
        return text + QStringLiteral("; quality %1%, PSNR %2 dB").arg(range(qLow, qHigh, 0), range(pLow, pHigh, 1));
    }
    if (outcome.tooBig && !outcome.written) {
        const QString nofit = QStringLiteral("%1 do not fit in %2%3 at %4% JPEG quality.")
                                  .arg(pictures(outcome.pictures), mail ? QStringLiteral("a mail of ") : QString(), budget)
                                  .arg(outcome.floor);
        if (outcome.scalePercent <= 0)
            return nofit + QStringLiteral(" They do not fit even at 1% of their size");
        return nofit + QStringLiteral(" At %1% of their size all %2 fit at %3% JPEG quality or better")
                           .arg(outcome.scalePercent).arg(outcome.pictures).arg(outcome.floor);
    }
    for (const SquashJob::Result &r : outcome.results)
        if (r.status == SquashJob::Status::Cancelled)
            return ResultLines::Cancelled();
        else if (r.status == SquashJob::Status::Error)
            return r.error->reportText();
    return QStringLiteral("No picture to share %1 among").arg(budget);
}

Outcome Run(const std::vector<SquashJob::Job> &jobs, const SquashJob::Settings &settings, const Budget &budget,
            const SquashCore::Progress &progress)
{
    Outcome outcome;
    outcome.budget = budget;
    outcome.floor = std::clamp(settings.fitFloor, 1, 100);
    outcome.results.resize(jobs.size());
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const SquashJob::Job &job = jobs[i];
        if (job.error || job.declined) {
            outcome.results[i] = SquashJob::Run(job, PreparedPicture{}, settings);
            continue;
        }
        Entry e;
        e.job = &job;
        e.name = job.output.path.mid(job.output.path.lastIndexOf(QLatin1Char('/')) + 1);
        entries.push_back(std::move(e));
    }

    std::vector<Entry> failed;
    const auto resultOf = [&](const Entry &e) -> SquashJob::Result & { return outcome.results[std::size_t(e.job - jobs.data())]; };
    const auto failAll = [&](SquashJob::Status status, const std::optional<AppError> &error, const QString &text) {
        for (const Entry &e : entries) {
            SquashJob::Result &r = resultOf(e);
            r.input = e.job->input;
            r.output = e.job->output;
            r.status = status;
            r.error = error;
            r.line = text.isEmpty() ? ResultLines::Line(r) : e.job->input + QStringLiteral(": ") + text;
        }
    };
    try {
        Split split(entries, settings, budget, progress);
        // The pictures that cannot be read leave the batch with their error.
        for (Entry &e : entries) {
            try {
                SquashCore::CheckNotInput(e.job->output.path, e.job->path);
                const QSize file = Picture::PictureSize(e.job->path);
                float w = 0, h = 0;
                SquashTargets::SizeFor(settings.size, float(file.width()), float(file.height()), w, h);
                e.own = w > 0 && h > 0 ? QSize(int(Numbers::roundHalfEven(w)), int(Numbers::roundHalfEven(h))) : file;
                e.reset(e.own);
            } catch (...) {
                e.error = std::current_exception();
            }
        }
        split.setScale(100, true);
        for (auto it = entries.begin(); it != entries.end();) {
            if (!it->error) {
                ++it;
                continue;
            }
            SquashJob::Result &r = resultOf(*it);
            r.input = it->job->input;
            r.status = SquashJob::Status::LoadFailed;
            r.error = ErrorHandlers::asAppError(it->error);
            r.line = ResultLines::Line(r);
            split.drop(*it);
            it = entries.erase(it);
        }
        outcome.pictures = int(entries.size());
        if (entries.empty())
            return outcome.summary = Summary(outcome), outcome;

        int common = split.commonQuality();
        if (!common) {
            // The common scale of all picture sizes at which the floor fits.
            // (Not a byte is left for files when the mail's own parts fill it.)
            int low = 0, high = split.fixed() < budget.bytes ? 100 : 1;
            while (high - low > 1) {
                const int middle = (low + high) / 2;
                split.setScale(middle);
                (split.floorFits() ? low : high) = middle;
            }
            outcome.scalePercent = low;
            outcome.tooBig = true;
            if (low == 0 || !settings.writeFit) {
                const QString text = QStringLiteral("FAILED - the batch does not fit in %1 at %2% JPEG quality; nothing was written")
                                         .arg(SizeText(budget.bytes)).arg(outcome.floor);
                failAll(SquashJob::Status::Cancelled, std::nullopt, text);
                outcome.summary = Summary(outcome);
                return outcome;
            }
            split.setScale(low);
            common = split.commonQuality();
        }
        split.raise(common);

        // The encodes the split measured are the files written.
        split.each(split.all(), [&](Entry &e) { split.write(e); });
        std::vector<std::pair<QString, std::int64_t>> attachments;
        for (const Entry &e : entries) {
            SquashJob::Result &r = resultOf(e);
            r.input = e.job->input;
            r.output = e.job->output;
            r.limit = e.job->limit;
            r.status = SquashJob::Status::Squashed;
            r.quality = e.quality;
            r.outputBytes = e.length[e.quality];
            r.psnr = e.psnr[e.quality];
            r.size = e.size;
            r.preview = e.preview;
            r.locationRemoved = e.hadPosition
                && !Metadata::FromExif(QByteArray(reinterpret_cast<const char *>(e.header.data()), qsizetype(e.header.size()))).hasPosition();
            if (outcome.scalePercent != 100) {
                r.fit = FitSearch::Fit{true, e.size, e.quality, r.outputBytes};
                r.fitWritten = true;
            }
            r.line = ResultLines::Line(r);
            outcome.fileBytes += r.outputBytes;
            attachments.emplace_back(e.name, r.outputBytes);
        }
        outcome.mailBytes = MailSize::MessageBytes(attachments);
        outcome.written = true;
    } catch (const CancelledRun &) {
        failAll(SquashJob::Status::Cancelled, std::nullopt, QString());
    } catch (...) {
        failAll(SquashJob::Status::Error, ErrorHandlers::asAppError(std::current_exception()), QString());
    }
    outcome.summary = Summary(outcome);
    return outcome;
}

} // namespace BatchBudget
