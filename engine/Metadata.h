#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

// What a picture file tells beyond its pixels (its EXIF block), read once
// when the picture is loaded and carried with it to the squash, which writes
// back what the chosen policy keeps.
//
// The block is at most one JPEG segment (under 64 KB) and every offset,
// count and pointer in it is checked against that: a block whose directories
// point outside it or back into themselves is dropped whole, an entry whose
// value lies outside it is dropped alone. Maker notes are never held: their
// inner offsets point into the camera's own layout, so no rewritten block
// could carry them intact.
struct Metadata
{
    // What the squashed file keeps.
    enum class Policy {
        Mail,   // dates, camera make and model, artist, copyright, description
        None,   // nothing
        All,    // every tag the output can carry, the position included
    };

    // "mail", "none", "all"; nothing for any other text.
    static std::optional<Policy> PolicyNamed(const QString &name);
    static QString NameOf(Policy policy);

    // One TIFF directory entry, its value in the block's own byte order.
    struct Entry
    {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        QByteArray value;
    };

    bool bigEndian = false;
    QList<Entry> main;          // the first directory (IFD0), pointers left out
    QList<Entry> exif;          // the EXIF directory, pointers left out
    QList<Entry> gps;           // the GPS directory
    int orientation = 1;        // 1 to 8; applied to the pixels at load
    QString dropped;            // why a block that was there was not read; empty otherwise

    bool isEmpty() const { return main.isEmpty() && exif.isEmpty() && gps.isEmpty(); }
    // The file gave a GPS block (position, altitude, direction ...).
    bool hasPosition() const { return !gps.isEmpty(); }

    // Reads the first EXIF segment of a JPEG file's header; an empty value
    // for any other file or a JPEG without one.
    static Metadata FromJpeg(const QByteArray &file);
    // Reads the EXIF item of a HEIF file's primary picture (its orientation
    // is left to the HEIF file's own transformations); an empty value when
    // there is none. Call only for a file the HEIF loader has accepted.
    static Metadata FromHeif(const QByteArray &file);
    // Reads an EXIF block: "Exif\0\0" and a TIFF structure, as an APP1
    // segment holds it.
    static Metadata FromExif(const QByteArray &block);

    // The APP1 segment's contents ("Exif\0\0" and the TIFF structure) that
    // `policy` keeps, the orientation left out (Mail) or set to 1 (All);
    // empty when nothing is kept. Never longer than MaxSegmentData.
    QByteArray Segment(Policy policy) const;

    // The most a JPEG APP segment can hold after its length field.
    static constexpr int MaxSegmentData = 65533;
};
