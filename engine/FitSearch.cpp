#include "FitSearch.h"

#include "Numbers.h"
#include "Picture.h"

#include <cmath>
#include <map>

namespace FitSearch {

QSize SizeWithLongerSide(QSize size, int longer)
{
    const bool wide = size.width() >= size.height();
    const double ratio = wide ? double(size.height()) / size.width() : double(size.width()) / size.height();
    const int shorter = std::max(1, int(Numbers::roundHalfEven(longer * ratio)));
    return wide ? QSize(longer, shorter) : QSize(shorter, longer);
}

Fit WhatWouldFit(const SquashCore::Request &request, const SquashCore::Progress &progress)
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

    bool cancelled = false;
    const auto at = [&](int longer, const QImage &source, int fixedQuality) {
        SquashCore::Request probe = request;
        const QSize size = SizeWithLongerSide(from, longer);
        probe.picture = source;
        probe.newWidth = float(size.width());
        probe.newHeight = float(size.height());
        probe.fixedQuality = fixedQuality;
        probe.minQuality = floor;
        probe.writeFile = false;
        const SquashCore::Result r = SquashCore::Squash(std::move(probe), progress);
        cancelled = cancelled || r.outcome == SquashCore::Outcome::Cancelled;
        return r;
    };

    // Each probe below says how long the file is at the floor quality, one
    // encode, at a longer side: `low` is the largest known to fit (0: none
    // yet), `high` the smallest known not to (the failed size itself counts
    // as not fitting: the floor is at least the quality 1 that failed).
    // File length grows about as a power of the longer side, so each next
    // probe is where that curve through what is known reaches the limit,
    // just across it from the last probe so that the range closes from both
    // ends; a range that has not halved in four probes is halved instead.
    struct Range
    {
        int low = 0, high = 0;
        std::map<int, std::int64_t> bytes;
    };
    double power = 1.8;   // before the estimates say better
    const auto closeIn = [&](Range &range, int first, int enough, const auto &measure) {
        int next = first, halvedAt = range.high - range.low, sinceHalved = 0;
        while (range.high - range.low > enough) {
            const int longer = std::clamp(next, range.low + 1, range.high - 1);
            const std::int64_t bytes = range.bytes[longer] = measure(longer);
            if (cancelled)
                return;
            const bool fitting = bytes <= limit;
            (fitting ? range.low : range.high) = longer;
            if ((range.high - range.low) * 2 <= halvedAt)
                halvedAt = range.high - range.low, sinceHalved = 0;
            const auto a = range.bytes.find(range.low), b = range.bytes.find(range.high);
            double root;
            if (a != range.bytes.end() && b != range.bytes.end() && b->second > a->second)
                root = range.low + double(limit - a->second) * (range.high - range.low) / double(b->second - a->second);
            else
                root = longer * std::pow(double(limit) / double(std::max<std::int64_t>(bytes, 1)), 1.0 / power);
            next = ++sinceHalved > 4 ? range.low + (range.high - range.low) / 2
                                     : int(std::floor(root)) + (fitting ? 1 : 0);
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
    // To within about one part in a hundred: the copies are a little softer
    // than the squash's own scaling from the whole picture, so the rest is
    // measured on that.
    closeIn(estimates, longest / 2, std::max(1, longest / 128), estimate);
    if (cancelled)
        return {};

    // The same encodes scaled from the whole picture, as the squash scales,
    // to the pixel.
    Range exact{0, longest, {}};
    const int guess = estimates.low > 0 ? estimates.low : std::max(1, estimates.high - 1);
    closeIn(exact, guess, 1, [&](int longer) { return at(longer, request.picture, floor).outputBytes; });
    if (cancelled)
        return {};

    // The squash's own search from there, in growing strides towards the
    // boundary until it is crossed, then halving: the size found fits and
    // one pixel more does not. Where the encodes at the floor agree with
    // the search, as they almost always do, this is two searches.
    std::map<int, Fit> tried;
    const auto fits = [&](int longer) {
        const SquashCore::Result r = at(longer, request.picture, 0);
        const bool ok = r.outcome == SquashCore::Outcome::Success;
        tried[longer] = Fit{ok, r.size, r.quality, r.outputBytes};
        return ok;
    };
    int fitting = 0, over = longest;
    const int start = std::max(exact.low, 1);
    const bool up = fits(start);
    (up ? fitting : over) = start;
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
    return tried[fitting];
}

} // namespace FitSearch
