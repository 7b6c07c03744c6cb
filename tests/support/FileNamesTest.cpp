#include "FileNames.h"

#include <QUrl>
#include <gtest/gtest.h>

namespace {

struct Name
{
    QByteArray bytes;
    QString decoded;
};

QString escaped(std::initializer_list<char16_t> units)
{
    QString s;
    for (const char16_t u : units)
        s += QChar(u);
    return s;
}

} // namespace

// Every byte string comes back as it was; valid UTF-8 reads as its
// characters, each byte of anything else as U+DC80 + byte.
TEST(FileNames, BytesRoundTripAndOnlyInvalidOnesAreEscaped)
{
    const Name table[] = {
        {"beach.jpg", QStringLiteral("beach.jpg")},
        {"", QString()},
        {"Strand \xc3\xa4 \xe2\x82\xac.jpg", QStringLiteral("Strand ä €.jpg")},
        {"\xf0\x9f\x90\x8e\xf0\x90\x82\x80", QStringLiteral("\U0001F40E\U00010080")},   // a low half in DC80..DCFF
        {"\xef\xbb\xbf" "a", QStringLiteral("\uFEFFa")},                                    // a leading BOM is a character
        {"caf\xe9.gif", QStringLiteral("caf") + escaped({0xDCE9}) + QStringLiteral(".gif")},  // Latin-1
        {"\x80\xbf", escaped({0xDC80, 0xDCBF})},                                           // lone continuation bytes
        {"a\xe2\x82", QStringLiteral("a") + escaped({0xDCE2, 0xDC82})},                    // truncated sequence
        {"\xe2\x82" "b", escaped({0xDCE2, 0xDC82}) + QStringLiteral("b")},
        {"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff",                                       // overlong, surrogate, too high
         escaped({0xDCC0, 0xDCAF, 0xDCED, 0xDCA0, 0xDC80, 0xDCF4, 0xDC90, 0xDC80, 0xDC80, 0xDCFF})},
    };
    for (const Name &n : table) {
        SCOPED_TRACE(n.bytes.toHex().constData());
        EXPECT_EQ(FileNames::decode(n.bytes), n.decoded);
        EXPECT_EQ(FileNames::encode(n.decoded), n.bytes);
        const QString path = QStringLiteral("/tmp/") + n.decoded;
        EXPECT_EQ(FileNames::fromUrl(FileNames::toUrl(path)), path);
    }
    // A file manager's URL of such a name.
    EXPECT_EQ(FileNames::encode(FileNames::fromUrl(QUrl(QStringLiteral("file:///tmp/caf%E9%20x.gif")))),
              QByteArray("/tmp/caf\xe9 x.gif"));
}
