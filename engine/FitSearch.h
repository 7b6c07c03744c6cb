#pragma once

#include "SquashCore.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <cstdint>

// "What would fit": after a squash FAILED, the largest picture size of the
// same proportions at which the file fits at a floor quality or better.
namespace FitSearch {

// The lowest quality worth offering when nothing else is asked for.
constexpr int DefaultMinQuality = 50;

struct Fit
{
    bool found = false;             // false: not even the smallest size fits (or cancelled)
    QSize size;                     // the picture size that fits
    int quality = 0;                // the highest quality that fits at that size
    std::int64_t bytes = 0;
};

// Searches sizes below the request's own (its newWidth x newHeight, or the
// picture's size when it is not scaled), keeping that size's proportions,
// with the request's byte limit and minQuality as floor (clamped to 1..100).
// Writes nothing. The size is homed in on with single encodes at the floor
// quality, first of copies scaled from one smaller picture, then as the
// squash scales; the squash's own search then settles it. So the quality
// at the size found is exactly what the squash's search gives there. File
// length grows with the picture size almost but not exactly monotonically:
// the size found is guaranteed to fit and the next larger size (one pixel
// more on the longer side) is guaranteed not to; a larger size further up
// may still fit. Progress is passed to every encode and search; cancelling
// ends with found = false. Throws what SquashCore::Squash throws. When the
// size is found, `copy` (when given) gets the picture to squash it from: the
// whole picture already scaled to that size when the search kept it, else
// the whole picture itself.
Fit WhatWouldFit(const SquashCore::Request &request, const SquashCore::Progress &progress = {},
                 QImage *copy = nullptr);

// The size of the same proportions as `size` whose longer side is `longer`
// (each side at least 1, rounded half to even).
QSize SizeWithLongerSide(QSize size, int longer);

} // namespace FitSearch
