#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <functional>

// HEIC/HEIF pictures (phone photos) through libheif.
namespace HeifPicture {

// Called before the pixels are allocated with the picture's size and the
// bytes its decode holds at its peak; it throws to refuse a picture that
// cannot be held.
using SizeCheck = std::function<void(QSize size, qint64 bytes)>;

// The most tiles a grid picture may have: 1024 tiles of 512 x 512 (what
// phones write) make a picture larger than the program holds, and decoding
// each tile has a cost of its own, however small the tile.
constexpr int MaxTiles = 1024;

// Whether the file is a HEIF container with a picture libheif can decode,
// judged from its first bytes, whatever its name.
bool IsHeif(const QByteArray &file);

// The primary picture's size, upright, read without decoding it. Throws as
// LoadHeif does.
QSize Size(const QByteArray &file);

// The primary picture, upright (the file's rotation and mirroring applied),
// converted to sRGB from its ICC or nclx colour profile, 8 bits per channel.
// Format_RGB32, or Format_ARGB32 when the picture has transparency. Before
// anything is decoded, each coded picture's size is checked against the
// size its file declares for it. Throws AppError 481 "Invalid picture" for a
// file libheif cannot decode or whose sizes disagree (the cause in
// brackets), whatever checkSize throws, and 18 when cancelled returns true
// (asked between tiles).
QImage LoadHeif(const QByteArray &file, const SizeCheck &checkSize, const std::function<bool()> &cancelled = {});

} // namespace HeifPicture
