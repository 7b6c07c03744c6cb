#include "FitSearch.h"

#include "Numbers.h"

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

    bool cancelled = false;
    std::map<int, Fit> tried;
    // Whether the picture fits at this longer side; every try is the
    // squash's own search, without writing, down to the floor only.
    const auto fits = [&](int longer) {
        SquashCore::Request probe = request;
        const QSize size = SizeWithLongerSide(from, longer);
        probe.newWidth = float(size.width());
        probe.newHeight = float(size.height());
        probe.fixedQuality = 0;
        probe.minQuality = std::clamp(request.minQuality, 1, 100);
        probe.writeFile = false;
        const SquashCore::Result r = SquashCore::Squash(std::move(probe), progress);
        cancelled = cancelled || r.outcome == SquashCore::Outcome::Cancelled;
        const bool ok = r.outcome == SquashCore::Outcome::Success;
        tried[longer] = Fit{ok, r.size, r.quality, r.outputBytes};
        return ok;
    };

    // Invariant: `low` fits, `high` does not (the failed size itself counts
    // as not fitting: the floor is at least the quality 1 that failed).
    int low = 1, high = longest;
    if (longest <= 1 || !fits(low) || cancelled)
        return {};
    while (high - low > 1) {
        const int middle = low + (high - low) / 2;
        (fits(middle) ? low : high) = middle;
        if (cancelled)
            return {};
    }
    return tried[low];
}


} // namespace FitSearch
