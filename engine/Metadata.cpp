#include "Metadata.h"

#include "HeifLibrary.h"

#include <QSet>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace {

constexpr char ExifHeader[] = "Exif\0\0";
constexpr int ExifHeaderSize = 6;

// Directory tags that point at other directories; rebuilt by the writer.
constexpr std::uint16_t ExifPointer = 0x8769, GpsPointer = 0x8825, InteropPointer = 0xA005;
constexpr std::uint16_t ColorSpaceTag = 0xA001, OrientationTag = 0x0112, MakerNoteTag = 0x927C, ExifVersionTag = 0x9000;
constexpr std::uint16_t ShortType = 3, LongType = 4, SignedLongType = 9;

// What mail keeps: who made the picture, when and with what.
constexpr std::uint16_t MailMain[] = {
    0x010E,     // ImageDescription
    0x010F,     // Make
    0x0110,     // Model
    0x013B,     // Artist
    0x8298,     // Copyright
};
constexpr std::uint16_t MailExif[] = {
    0x9003, 0x9004,             // DateTimeOriginal, CreateDate (DateTimeDigitized)
    0x9010, 0x9011, 0x9012,     // their offsets from UTC
    0x9290, 0x9291, 0x9292,     // their sub-seconds
};

// Tags that describe the original file's pixels or layout, wrong for any
// rewritten file, whatever the policy.
constexpr std::uint16_t LayoutTags[] = {
    0x0100, 0x0101, 0x0102, 0x0103, 0x0106, 0x0111, 0x0115, 0x0116, 0x0117, 0x011C,
    0x0144, 0x0145, 0x0201, 0x0202, 0x0211, 0x0212, 0x0213, 0x0214,
    ColorSpaceTag, 0xA002, 0xA003,     // written anew; PixelXDimension, PixelYDimension
    0x8773,                             // an ICC profile: the output is sRGB without one
    ExifPointer, GpsPointer, InteropPointer, OrientationTag, MakerNoteTag,
};

std::uint32_t readUnsigned(const uchar *p, int bytes, bool big)
{
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= std::uint32_t(p[big ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return v;
}

template <std::size_t N>
bool among(const std::uint16_t (&tags)[N], std::uint16_t tag)
{
    return std::find(std::begin(tags), std::end(tags), tag) != std::end(tags);
}

int typeSize(std::uint16_t type)
{
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;     // BYTE, ASCII, SBYTE, UNDEFINED
    case 3: case 8: return 2;                       // SHORT, SSHORT
    case 4: case 9: case 11: return 4;              // LONG, SLONG, FLOAT
    case 5: case 10: case 12: return 8;             // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
    }
}

// Reads a TIFF structure where every offset is checked against its length.
class Reader
{
public:
    Reader(const uchar *data, qsizetype size) : d(data), n(size) {}

    Metadata read()
    {
        Metadata m;
        if (n < 8 || !((d[0] == 'I' && d[1] == 'I') || (d[0] == 'M' && d[1] == 'M')))
            return dropped(QStringLiteral("no TIFF header"));
        big = d[0] == 'M';
        m.bigEndian = big;
        if (u16(2) != 42)
            return dropped(QStringLiteral("no TIFF header"));
        std::uint32_t exifAt = 0, gpsAt = 0;
        if (!directory(u32(4), m.main, [&](std::uint16_t tag, std::uint32_t at) {
                (tag == ExifPointer ? exifAt : gpsAt) = at;
            }))
            return dropped(error);
        if (exifAt && !directory(exifAt, m.exif, {}))
            return dropped(error);
        if (gpsAt && !directory(gpsAt, m.gps, {}))
            return dropped(error);
        for (const Metadata::Entry &e : std::as_const(m.main))
            if (e.tag == OrientationTag && e.count == 1) {
                const auto *v = reinterpret_cast<const uchar *>(e.value.constData());
                const std::uint32_t value = e.type == ShortType ? readUnsigned(v, 2, big)
                                          : (e.type == LongType || e.type == SignedLongType) ? readUnsigned(v, 4, big)
                                                                                             : 1;
                m.orientation = value >= 1 && value <= 8 ? int(value) : 1;
            }
        m.main.removeIf([](const Metadata::Entry &e) { return e.tag == OrientationTag; });
        return m;
    }

private:
    static Metadata dropped(const QString &why)
    {
        Metadata m;
        m.dropped = why;
        return m;
    }

    std::uint16_t u16(qsizetype at) const { return std::uint16_t(readUnsigned(d + at, 2, big)); }
    std::uint32_t u32(qsizetype at) const { return readUnsigned(d + at, 4, big); }

    // Reads the directory at `at` into `entries`; pointers to the EXIF and
    // GPS directories go to `pointer` instead. False, with `error`, for a
    // directory outside the block, one seen before (a loop) or one whose
    // entries run past the end.
    using Pointer = std::function<void(std::uint16_t tag, std::uint32_t at)>;
    bool directory(std::uint32_t at, QList<Metadata::Entry> &entries, const Pointer &pointer)
    {
        if (at < 8 || qsizetype(at) + 2 > n) {
            error = QStringLiteral("a directory outside the block");
            return false;
        }
        if (seen.contains(at)) {
            error = QStringLiteral("a directory loop");
            return false;
        }
        seen.insert(at);
        const int count = u16(at);
        if (qsizetype(at) + 2 + 12 * qsizetype(count) > n) {
            error = QStringLiteral("a directory running past the end");
            return false;
        }
        for (int i = 0; i < count; ++i) {
            const qsizetype e = at + 2 + 12 * i;
            Metadata::Entry entry{u16(e), u16(e + 2), u32(e + 4), {}};
            if (pointer && (entry.tag == ExifPointer || entry.tag == GpsPointer)) {
                if (entry.count == 1 && (entry.type == LongType || entry.type == 13))
                    pointer(entry.tag, u32(e + 8));
                continue;
            }
            // Maker notes and nested pointers are not held at all.
            if (entry.tag == MakerNoteTag || entry.tag == ExifPointer || entry.tag == GpsPointer
                || entry.tag == InteropPointer)
                continue;
            const int size = typeSize(entry.type);
            const qint64 bytes = qint64(size) * entry.count;
            if (size == 0 || entry.count == 0 || bytes > n)
                continue;
            qsizetype from = e + 8;
            if (bytes > 4) {
                from = u32(e + 8);
                if (qint64(from) + bytes > n)
                    continue;   // its value lies outside the block
                // Values never share bytes: more than the block in all is
                // entries pointing at one value again and again.
                held += bytes;
                if (held > n) {
                    error = QStringLiteral("values that overlap");
                    return false;
                }
            }
            entry.value = QByteArray(reinterpret_cast<const char *>(d + from), qsizetype(bytes));
            entries.append(std::move(entry));
        }
        return true;
    }

    const uchar *d;
    qsizetype n;
    bool big = false;
    QSet<std::uint32_t> seen;
    qint64 held = 0;    // bytes of values copied so far
    QString error;
};

// Writes directories in the byte order of the block they came from.
class Writer
{
public:
    explicit Writer(bool bigEndian) : big(bigEndian)
    {
        out.append(big ? "MM" : "II", 2);
        put16(42);
        put32(8);
    }

    // Appends a directory of `entries` (sorted by tag) and their values;
    // returns the offset of each of `pointers` entries' value fields, to be
    // filled in once the directories they point to are written.
    QList<qsizetype> directory(QList<Metadata::Entry> entries, const QList<std::uint16_t> &pointers)
    {
        for (std::uint16_t tag : pointers)
            entries.append(Metadata::Entry{tag, LongType, 1, QByteArray(4, '\0')});
        std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.tag < b.tag; });
        const qsizetype start = out.size();
        qsizetype data = start + 2 + 12 * entries.size() + 4;
        QList<qsizetype> pointerFields;
        put16(std::uint16_t(entries.size()));
        QByteArray values;
        for (const Metadata::Entry &e : std::as_const(entries)) {
            put16(e.tag);
            put16(e.type);
            put32(e.count);
            if (pointers.contains(e.tag))
                pointerFields.append(out.size());
            if (e.value.size() <= 4) {
                out.append(e.value);
                out.append(4 - e.value.size(), '\0');
            } else {
                put32(std::uint32_t(data + values.size()));
                values.append(e.value);
                if (values.size() % 2)
                    values.append('\0');
            }
        }
        put32(0);   // no next directory: the thumbnail's is never written
        out.append(values);
        return pointerFields;
    }

    void patch(qsizetype field, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            out[field + i] = char(value >> (8 * (big ? 3 - i : i)));
    }

    Metadata::Entry shortEntry(std::uint16_t tag, std::uint16_t value) const
    {
        QByteArray v(2, '\0');
        v[big ? 1 : 0] = char(value & 0xFF);
        v[big ? 0 : 1] = char(value >> 8);
        return Metadata::Entry{tag, ShortType, 1, v};
    }

    QByteArray out;

private:
    void put16(std::uint16_t v)
    {
        const char b[2] = {char(big ? v >> 8 : v), char(big ? v : v >> 8)};
        out.append(b, 2);
    }
    void put32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.append(char(v >> (8 * (big ? 3 - i : i))));
    }

    bool big;
};

} // namespace

std::optional<Metadata::Policy> Metadata::PolicyNamed(const QString &name)
{
    for (Policy p : {Policy::Mail, Policy::None, Policy::All})
        if (name.compare(NameOf(p), Qt::CaseInsensitive) == 0)
            return p;
    return std::nullopt;
}

QString Metadata::NameOf(Policy policy)
{
    switch (policy) {
    case Policy::Mail: return QStringLiteral("mail");
    case Policy::None: return QStringLiteral("none");
    case Policy::All: return QStringLiteral("all");
    }
    return {};
}

Metadata Metadata::FromJpeg(const QByteArray &file)
{
    const auto *d = reinterpret_cast<const uchar *>(file.constData());
    const qsizetype n = file.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return {};
    qsizetype pos = 2;
    while (pos + 4 <= n && d[pos] == 0xFF) {
        const int marker = d[pos + 1];
        const qsizetype length = (qsizetype(d[pos + 2]) << 8) | d[pos + 3];
        if (marker == 0xDA || marker == 0xD9 || length < 2 || pos + 2 + length > n)
            break;
        if (marker == 0xE1 && length - 2 >= ExifHeaderSize && std::memcmp(d + pos + 4, ExifHeader, ExifHeaderSize) == 0)
            return FromExif(QByteArray::fromRawData(file.constData() + pos + 4, length - 2));
        pos += 2 + length;
    }
    return {};
}

Metadata Metadata::FromHeif(const QByteArray &file)
{
    // More than a JPEG segment could ever carry is no camera's block.
    constexpr std::size_t MaxItem = 1 << 20;
    const HeifLibrary::Functions &heif = HeifLibrary::Get();
    const std::unique_ptr<heif_context, void (*)(heif_context *)> context(heif.context_alloc(), heif.context_free);
    if (!context || heif.context_read_from_memory_without_copy(context.get(), file.constData(), std::size_t(file.size()), nullptr).code)
        return {};
    heif_image_handle *raw = nullptr;
    if (heif.context_get_primary_image_handle(context.get(), &raw).code)
        return {};
    const std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle *)> handle(raw, heif.image_handle_release);
    heif_item_id id = 0;
    if (heif.image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1)
        return {};
    const std::size_t size = heif.image_handle_get_metadata_size(handle.get(), id);
    if (size < 4 || size > MaxItem) {
        Metadata m;
        m.dropped = QStringLiteral("an EXIF item of %1 bytes").arg(size);
        return m;
    }
    QByteArray item(qsizetype(size), '\0');
    if (heif.image_handle_get_metadata(handle.get(), id, item.data()).code)
        return {};
    // The item starts with the offset of the TIFF header after its first 4 bytes.
    const auto *d = reinterpret_cast<const uchar *>(item.constData());
    const std::size_t tiff = 4 + readUnsigned(d, 4, true);
    if (tiff >= size)
        return {};
    Metadata m = FromExif(QByteArray(ExifHeader, ExifHeaderSize) + item.mid(qsizetype(tiff)));
    m.orientation = 1;
    return m;
}

Metadata Metadata::FromExif(const QByteArray &block)
{
    if (block.size() < ExifHeaderSize || std::memcmp(block.constData(), ExifHeader, ExifHeaderSize) != 0)
        return {};
    // One segment's worth at most: a caller may hand over more.
    const qsizetype n = std::min<qsizetype>(block.size() - ExifHeaderSize, MaxSegmentData - ExifHeaderSize);
    return Reader(reinterpret_cast<const uchar *>(block.constData()) + ExifHeaderSize, n).read();
}

QByteArray Metadata::Segment(Policy policy) const
{
    if (policy == Policy::None || isEmpty())
        return {};
    const bool all = policy == Policy::All;
    const auto kept = [&](const QList<Entry> &entries, const auto &keep) {
        QList<Entry> out;
        for (const Entry &e : entries)
            if (keep(e.tag))
                out.append(e);
        return out;
    };
    QList<Entry> main = kept(this->main, [&](std::uint16_t t) { return all ? !among(LayoutTags, t) : among(MailMain, t); });
    QList<Entry> exif = kept(this->exif, [&](std::uint16_t t) {
        return all ? !among(LayoutTags, t) : among(MailExif, t) || t == ExifVersionTag;
    });
    const QList<Entry> gps = all ? this->gps : QList<Entry>();
    // The version belongs to any EXIF directory written, never alone.
    const auto isVersion = [](const Entry &e) { return e.tag == ExifVersionTag; };
    if (std::all_of(exif.cbegin(), exif.cend(), isVersion))
        exif.clear();
    else if (std::none_of(exif.cbegin(), exif.cend(), isVersion))
        exif.append(Entry{ExifVersionTag, 7, 4, QByteArray("0232", 4)});
    Writer writer(bigEndian);
    // The output is sRGB, whatever the input's space was.
    if (!exif.isEmpty())
        exif.append(writer.shortEntry(ColorSpaceTag, 1));
    if (main.isEmpty() && exif.isEmpty() && gps.isEmpty())
        return {};

    // The pixels are upright: a reader must not turn them again.
    if (all)
        main.append(writer.shortEntry(OrientationTag, 1));
    QList<std::uint16_t> pointers;
    if (!exif.isEmpty())
        pointers.append(ExifPointer);
    if (!gps.isEmpty())
        pointers.append(GpsPointer);
    const QList<qsizetype> fields = writer.directory(main, pointers);
    qsizetype next = 0;
    if (!exif.isEmpty()) {
        writer.patch(fields[next++], std::uint32_t(writer.out.size()));
        writer.directory(exif, {});
    }
    if (!gps.isEmpty()) {
        writer.patch(fields[next++], std::uint32_t(writer.out.size()));
        writer.directory(gps, {});
    }
    QByteArray segment = QByteArray(ExifHeader, ExifHeaderSize) + writer.out;
    // A segment holds no more; what mail keeps always fits.
    if (segment.size() > MaxSegmentData)
        return all ? Segment(Policy::Mail) : QByteArray();
    return segment;
}
