#include "FitSearch.h"

#include "Numbers.h"
#include "Picture.h"

#include <QtConcurrent/QtConcurrentRun>
#include <cmath>
#include <exception>
#include <map>
#include <mutex>
#include <optional>

namespace FitSearch {

QSize SizeWithLongerSide(QSize size, int longer)
{
    const bool wide = size.width() >= size.height();
    const double ratio = wide ? double(size.height()) / size.width() : double(size.width()) / size.height();
    const int shorter = std::max(1, int(Numbers::roundHalfEven(longer * ratio)));
    return wide ? QSize(longer, shorter) : QSize(shorter, longer);
}

Fit WhatWouldFit(const SquashCore::Request &request, const SquashCore::Progress &progress, QImage *copy)
{
    const QSize picture = request.picture.size();
    const bool scaled = request.newWidth > 0 && request.newHeight > 0;
    const QSize from = scaled ? QSize(int(Numbers::roundHalfEven(request.newWidth)), int(Numbers::roundHalfEven(request.newHeight)))
                              : picture;
    const int longest = std::max(from.width(), from.height());
    const int floor = std::clamp(request.minQuality, 1, 100);
    const std::int64_t limit = request.maxFileSize;
    if (longest <= 1 || limit < 0)
        return {};

    // Progress is asked by one search at a time, also while two run side by
    // side below.
    std::mutex asking;
    SquashCore::Progress oneAtATime;
    if (progress)
        oneAtATime = [&](int q) {
            const std::lock_guard lock(asking);
            return progress(q);
        };
    const auto squashAt = [&](int longer, const QImage &source, int fixedQuality, int threads) {
        SquashCore::Request probe = request;
        const QSize size = SizeWithLongerSide(from, longer);
        probe.picture = source;
        probe.newWidth = float(size.width());
        probe.newHeight = float(size.height());
        probe.fixedQuality = fixedQuality;
        probe.minQuality = floor;
        probe.writeFile = false;
        probe.threads = threads;
        return SquashCore::Squash(std::move(probe), oneAtATime);
    };
    // Copies scaled from the whole picture as the squash scales them, kept
    // for the sizes probed from it: the last steps of the search come back
    // to the same sizes, and the write to the one found. They are kept while
    // they, the whole picture and one more copy with its coefficients stay
    // within what a squash at the requested size holds, reserved here while
    // the probes run one at a time.
    std::optional<MemoryBudget::Reservation> held = Picture::ReserveSquash(picture, from);
    const auto pixels = [](QSize size) { return qint64(size.width()) * size.height(); };
    const qint64 room = Picture::SquashBytes(picture, from) / 4 - pixels(picture);
    std::map<int, QImage> copies;
    qint64 kept = 0;
    const auto fromWhole = [&](int longer) {
        if (const auto c = copies.find(longer); c != copies.end())
            return c->second;
        const QSize size = SizeWithLongerSide(from, longer);
        if (size == picture || kept + 2 * pixels(size) > room)
            return request.picture;   // scaled by the squash itself
        kept += pixels(size);
        return copies[longer] = Picture::StretchPicture(request.picture, size.width(), size.height());
    };
    bool cancelled = false;
    const auto at = [&](int longer, const QImage &source, int fixedQuality) {
        const SquashCore::Result r = squashAt(longer, source, fixedQuality, request.threads);
        cancelled = cancelled || r.outcome == SquashCore::Outcome::Cancelled;
        return r;
    };

    // Each probe below says how long the file is at the floor quality, one
    // encode, at a longer side: `low` is the largest known to fit (0: none
    // yet), `high` the smallest known not to (the failed size itself counts
    // as not fitting: the floor is at least the quality 1 that failed).
    // File length grows about as a power of the longer side, so each next
    // probe is where that curve through what is known reaches the limit,
    // aimed just across it from the last probe (by half the precision
    // wanted) so that the range closes from both ends; a range that has
    // not halved in four probes is halved instead.
    struct Range
    {
        int low = 0, high = 0;
        std::map<int, std::int64_t> bytes;
    };
    double power = 1.5;   // before the estimates say better
    const auto closeIn = [&](Range &range, int first, int enough, const auto &measure) {
        int next = first, halvedAt = range.high - range.low, sinceHalved = 0;
        const int margin = enough / 2;
        while (range.high - range.low > enough) {
            const int longer = std::clamp(next, range.low + 1, range.high - 1);
            const std::int64_t bytes = range.bytes[longer] = measure(longer);
            if (cancelled)
                return;
            const bool fitting = bytes <= limit;
            (fitting ? range.low : range.high) = longer;
            if ((range.high - range.low) * 2 <= halvedAt)
                halvedAt = range.high - range.low, sinceHalved = 0;
            // Through both ends when both are measured, else from this one.
            const auto a = range.bytes.find(range.low), b = range.bytes.find(range.high);
            const bool both = a != range.bytes.end() && b != range.bytes.end() && b->second > a->second && a->second > 0;
            const double from = both ? range.low : longer;
            const double fromBytes = double(std::max<std::int64_t>(both ? a->second : bytes, 1));
            const double through = both ? std::log(double(b->second) / fromBytes) / std::log(double(range.high) / from) : power;
            const double root = from * std::pow(double(limit) / fromBytes, 1.0 / through);
            next = ++sinceHalved > 4 ? range.low + (range.high - range.low) / 2
                                     : int(std::floor(root)) + (fitting ? 1 + margin : -margin);
        }
    };

    // The estimates: one encode at the floor quality of a copy scaled from
    // `base`, a picture at the largest size still in play, made again only
    // when that has fallen to half of it. The first, at half the size, is
    // made the base at once: the answer is below it far more often than not.
    const int pictureLonger = std::max(picture.width(), picture.height());
    QImage base = request.picture;
    int baseLonger = pictureLonger;
    Range estimates{0, longest, {}};
    const auto estimate = [&](int longer) {
        const int inPlay = estimates.bytes.empty() ? longer : estimates.high - 1;
        if (baseLonger < inPlay) {
            base = request.picture;   // never scaled up from a smaller copy
            baseLonger = pictureLonger;
        }
        if (inPlay * 2 <= baseLonger) {
            const QSize size = SizeWithLongerSide(from, inPlay);
            base = Picture::StretchPicture(base, size.width(), size.height());
            baseLonger = inPlay;
        }
        const std::int64_t bytes = at(longer, base, floor).outputBytes;
        // The power through all estimates so far (least squares on logs).
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        const auto add = [&](int l, std::int64_t b) {
            if (b <= 0)
                return;
            const double x = std::log(double(l)), y = std::log(double(b));
            n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
        };
        for (const auto &[l, b] : estimates.bytes)
            add(l, b);
        add(longer, bytes);
        if (n >= 2 && n * sxx - sx * sx > 1e-12)
            power = std::clamp((n * sxy - sx * sy) / (n * sxx - sx * sx), 0.8, 3.0);
        return bytes;
    };
    // To within about one part in sixty: the copies are a little softer
    // than the squash's own scaling from the whole picture, so the rest is
    // measured on that.
    closeIn(estimates, longest / 2, std::max(1, longest / 64), estimate);
    if (cancelled)
        return {};

    // The same encodes scaled from the whole picture, as the squash scales,
    // to the pixel.
    Range exact{0, longest, {}};
    const int guess = estimates.low > 0 ? estimates.low : std::max(1, estimates.high - 1);
    closeIn(exact, guess, 1, [&](int longer) { return at(longer, fromWhole(longer), floor).outputBytes; });
    if (cancelled)
        return {};

    // The squash's own search from there, in growing strides towards the
    // boundary until it is crossed, then halving: the size found fits and
    // one pixel more does not. Where the encodes at the floor agree with
    // the search, as they almost always do, this is the two searches at the
    // size and one pixel more: side by side, one thread each, when the
    // squash may have two (a search gains little from a second thread).
    std::map<int, Fit> tried;
    const auto record = [&](int longer, const SquashCore::Result &r) {
        cancelled = cancelled || r.outcome == SquashCore::Outcome::Cancelled;
        const bool ok = r.outcome == SquashCore::Outcome::Success;
        tried[longer] = Fit{ok, r.size, r.quality, r.outputBytes};
        return ok;
    };
    const auto fits = [&](int longer) { return record(longer, at(longer, fromWhole(longer), 0)); };
    int fitting = 0, over = longest;
    const int start = std::max(exact.low, 1);
    bool up;
    if (request.threads > 1 && start + 1 < longest) {
        std::exception_ptr aboveFailed;
        const QImage hereFrom = fromWhole(start), aboveFrom = fromWhole(start + 1);
        // Each of the two reserves for itself: this thread must hold nothing
        // while it waits for the other.
        held.reset();
        QFuture<SquashCore::Result> above = QtConcurrent::run([&] {
            try {
                return squashAt(start + 1, aboveFrom, 0, 1);
            } catch (...) {
                aboveFailed = std::current_exception();
                return SquashCore::Result{};
            }
        });
        SquashCore::Result here;
        try {
            here = squashAt(start, hereFrom, 0, 1);
        } catch (...) {
            above.waitForFinished();
            throw;
        }
        const SquashCore::Result next = above.result();
        if (aboveFailed)
            std::rethrow_exception(aboveFailed);
        held = Picture::ReserveSquash(picture, from);
        up = record(start, here);
        if (record(start + 1, next))
            fitting = start + 1, up = true;
        else if (up)
            fitting = start, over = start + 1;
        else
            over = start;
    } else {
        up = fits(start);
        (up ? fitting : over) = start;
    }
    for (int stride = 1; over - fitting > 1 && !cancelled; stride *= 2) {
        const int next = up ? std::min(fitting + stride, over - 1) : std::max(over - stride, fitting + 1);
        const bool ok = fits(next);
        (ok ? fitting : over) = next;
        if (ok != up)
            break;
    }
    while (over - fitting > 1 && !cancelled) {
        const int middle = fitting + (over - fitting) / 2;
        (fits(middle) ? fitting : over) = middle;
    }
    if (cancelled || fitting == 0)
        return {};
    if (copy)
        *copy = fromWhole(fitting);
    return tried[fitting];
}

} // namespace FitSearch
