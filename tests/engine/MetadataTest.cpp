#include "CraftedPictures.h"
#include "EngineTestSupport.h"
#include "Metadata.h"
#include "OutputPlan.h"
#include "Picture.h"
#include "PreparedPicture.h"
#include "SquashJob.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

// The picture as the squash encodes it, with `app1` as its APP1 segment.
QByteArray encoded(const QImage &picture, const QByteArray &app1, int quality)
{
    cDIBSection dib;
    dib.CreateFromPicture(picture);
    mIntelJPEGLibrary::Encoder encoder;
    encoder.SetApp1({app1.cbegin(), app1.cend()});
    const auto &bytes = encoder.Encode(dib, quality);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

SquashJob::Result squash(const QString &input, const PreparedPicture &picture, std::int32_t limit, QSize size,
                         Metadata::Policy policy)
{
    SquashJob::Settings settings;
    settings.limit = {SquashTargets::LimitChoice::Kind::Bytes, double(limit)};
    settings.size = {SquashTargets::SizeChoice::Kind::Pixels, double(size.width()), double(size.height())};
    settings.whatWouldFit = false;
    settings.metadata = policy;
    OutputPlan plan;
    return SquashJob::Run(SquashJob::Plan(input, input, settings, plan, [] { return true; }), picture, settings);
}

// A little-endian TIFF structure written by hand, offsets and all.
struct Tiff
{
    QByteArray b = QByteArray("II*\0", 4);
    Tiff &u16(int v) { b += Crafted::le(v, 2); return *this; }
    Tiff &u32(qint64 v) { b += Crafted::le(v, 4); return *this; }
    Tiff &raw(const QByteArray &bytes) { b += bytes; return *this; }
    Tiff &entry(int tag, int type, qint64 count, qint64 value) { return u16(tag).u16(type).u32(count).u32(value); }
    QByteArray exif() const { return QByteArray("Exif\0\0", 6) + b; }
};

constexpr int Make = 0x010F, Model = 0x0110, ExifPointer = 0x8769, GpsPointer = 0x8825, DateTimeOriginal = 0x9003,
              MakerNote = 0x927C, Ascii = 2, Long = 4, Undefined = 7;
const qint64 Cam = 'C' | 'a' << 8 | 'm' << 16;   // "Cam\0", held in the entry itself

// The tags held, and the bytes of their values.
std::pair<QList<int>, qsizetype> held(const Metadata &m)
{
    std::pair<QList<int>, qsizetype> out{{}, 0};
    for (const auto *list : {&m.main, &m.exif, &m.gps})
        for (const Metadata::Entry &e : *list)
            out.first.append(e.tag), out.second += e.value.size();
    return out;
}

} // namespace

// The kept bytes count against the limit: for limits right at the lengths
// of the files with the header (and one byte under), the squash picks the
// quality a plain scan of those files picks and writes exactly that file.
// Below what the header needs at the lowest quality the picture goes
// without it, says so, and picks what a scan of the bare files picks; below
// even that it fails.
TEST(MetadataTest, TheLimitHoldsExactlyWithTheKeptBytes)
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(corpus("issue70.jpg"), input));
    const QSize size(320, 240);
    const PreparedPicture picture = PreparedPicture::Load(input);
    const QByteArray header = picture.metadata.Segment(Metadata::Policy::Mail);
    ASSERT_GT(header.size(), 100);

    const QImage stretched = Picture::StretchPicture(picture.picture, size.width(), size.height());
    std::vector<QByteArray> with(101), bare(101);
    for (int q = 1; q <= 100; ++q) {
        with[q] = encoded(stretched, header, q);
        bare[q] = encoded(stretched, {}, q);
        ASSERT_EQ(with[q].size(), bare[q].size() + header.size() + 4);
    }
    const auto scan = [](const std::vector<QByteArray> &files, qsizetype limit) {
        for (int q = 100; q >= 1; --q)
            if (files[q].size() <= limit)
                return q;
        return 0;
    };

    const qsizetype limits[] = {with[90].size(), with[60].size(), with[60].size() - 1, with[1].size() - 1,
                                bare[1].size() - 1};
    for (const qsizetype limit : limits) {
        SCOPED_TRACE(limit);
        const SquashJob::Result r = squash(input, picture, std::int32_t(limit), size, Metadata::Policy::Mail);
        const int withHeader = scan(with, limit), without = scan(bare, limit);
        EXPECT_EQ(r.metadataLeftOut, withHeader == 0) << qPrintable(r.line);
        EXPECT_EQ(r.line.contains(QStringLiteral("metadata left out")), r.metadataLeftOut);
        if (withHeader == 0 && without == 0) {
            EXPECT_EQ(r.status, SquashJob::Status::Failed);
            continue;
        }
        ASSERT_EQ(r.status, SquashJob::Status::Squashed) << qPrintable(r.line);
        EXPECT_EQ(r.quality, withHeader ? withHeader : without);
        EXPECT_EQ(readAll(r.output.path), withHeader ? with[withHeader] : bare[without]);
    }
}

// Blocks that point outside themselves or into themselves, or whose values
// overlap (a thousand copies of one value would take 40 MB), are dropped whole;
// an entry whose value lies outside is dropped alone; a 60 KB maker note is
// neither held nor copied. Each picture still squashes, under the policy
// that keeps the most.
TEST(MetadataTest, AHostileBlockIsBoundedAndDropped)
{
    struct Case { const char *name; QByteArray exif; bool dropped; QList<int> kept; };
    const QByteArray date("2020:01:02 03:04:05\0", 20);
    const Case cases[] = {
        {"IFD0 points to itself as its EXIF directory",
         Tiff().u32(8).u16(2).entry(Make, Ascii, 4, Cam).entry(ExifPointer, Long, 1, 8).u32(0).exif(), true, {}},
        {"the EXIF and GPS pointers name one directory",
         Tiff().u32(8).u16(3).entry(Make, Ascii, 4, Cam).entry(ExifPointer, Long, 1, 50).entry(GpsPointer, Long, 1, 50)
             .u32(0).u16(0).u32(0).exif(), true, {}},
        {"IFD0 past the end", Tiff().u32(0x10000).exif(), true, {}},
        {"more entries than the block holds", Tiff().u32(8).u16(5000).entry(Make, Ascii, 4, Cam).u32(0).exif(), true, {}},
        {"a thousand entries naming one 40 KB value",
         Tiff().u32(8).u16(1000).raw(Tiff().entry(Make, Ascii, 40000, 8 + 2 + 12 * 1000 + 4).b.mid(4).repeated(1000))
             .u32(0).raw(QByteArray(40000, 'x')).exif(), true, {}},
        {"a value past the end",
         Tiff().u32(8).u16(2).entry(Make, Ascii, 4, Cam).entry(Model, Ascii, 100, 0xFFFF00).u32(0).exif(), false, {Make}},
        {"a 60 KB maker note",
         Tiff().u32(8).u16(2).entry(Make, Ascii, 4, Cam).entry(ExifPointer, Long, 1, 38).u32(0)
             .u16(2).entry(DateTimeOriginal, Ascii, 20, 68).entry(MakerNote, Undefined, 60000, 88).u32(0)
             .raw(date).raw(QByteArray(60000, 'M')).exif(), false, {Make, DateTimeOriginal}},
    };
    QTemporaryDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.exif.size(), Metadata::MaxSegmentData);
        const QString input = dir.filePath(QStringLiteral("hostile.jpg"));
        ASSERT_TRUE(writeAll(input, encoded(quadrants(64, 48), c.exif, 90)));

        const PreparedPicture picture = PreparedPicture::Load(input);
        EXPECT_EQ(!picture.metadata.dropped.isEmpty(), c.dropped) << qPrintable(picture.metadata.dropped);
        EXPECT_EQ(held(picture.metadata).first, c.kept);
        EXPECT_LT(held(picture.metadata).second, 100);
        EXPECT_EQ(picture.picture.size(), QSize(64, 48));

        const SquashJob::Result r = squash(input, picture, 100000, QSize(64, 48), Metadata::Policy::All);
        ASSERT_EQ(r.status, SquashJob::Status::Squashed) << qPrintable(r.line);
        const Metadata written = Metadata::FromJpeg(readAll(r.output.path));
        QList<int> writtenTags = held(written).first;
        writtenTags.removeIf([](int tag) { return tag == 0x0112 || tag == 0x9000 || tag == 0xA001; });
        EXPECT_EQ(writtenTags, c.kept);
        EXPECT_LT(r.outputBytes, 2000);
    }
}
