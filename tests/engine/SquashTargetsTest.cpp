#include "SquashCore.h"
#include "EngineTestSupport.h"
#include "SquashTargets.h"

#include <gtest/gtest.h>
#include <vector>

using namespace SquashTargets;
using EngineTest::errorNumber;

namespace {

std::int32_t limit(short index, std::int32_t length, const QString &bytes = {}, const QString &percent = {})
{
    const ByteLimit r = ByteLimitRule(index, length, bytes, percent);
    return r.refusal ? -r.refusal->message : r.limit;
}

QString size(short index, float pw, float ph, const QString &w = {}, const QString &h = {},
             const QString &wp = {}, const QString &hp = {})
{
    const TargetSize r = TargetSizeRule(index, pw, ph, w, h, wp, hp);
    if (r.refusal)
        return QString(QChar::fromLatin1(r.refusal->message));
    return QStringLiteral("%1x%2").arg(double(r.width)).arg(double(r.height));
}

} // namespace

// Negative: the letter of the refusal. The titles, texts and focus of the
// refusals are checked where the window shows them.
TEST(ByteLimitRule, LimitsAndUserBoxesCheckedByTheirLeadingNumber)
{
    struct Case { short index; std::int32_t length; const char *bytes, *percent; std::int32_t expected; };
    const Case cases[] = {
        {0, 12345, "", "", 12344},        {1, 12345, "", "", 51200},      {2, 12345, "", "", 102400},
        {3, 12345, "junk", "junk", 256000},   // only the selected option's box is read
        {5, 12345, "", "", 3086},         {6, 12345, "", "", 6172},       // 6172.5 goes to the even neighbour
        {7, 12345, "", "", 9259},         {8, 12345, "", "50", 6171},     {8, 12345, "", "100", 12344},
        {8, 1000, "", "1", 9},            {4, 12345, "100", "", 100},     {4, 12345, "2147483647", "", 2147483647},
        {4, 12345, "99", "", -'A'},       {4, 12345, "0042", "", -'A'},   {4, 12345, "", "", -'A'},
        {4, 12345, "2147483648", "", -'A'}, {8, 12345, "", "0", -'B'},    {8, 12345, "", "101", -'B'},
    };
    for (const Case &c : cases)
        EXPECT_EQ(limit(c.index, c.length, c.bytes, c.percent), c.expected) << c.index << " " << c.bytes << c.percent;
    // A leading number that passes while the whole text is no number.
    EXPECT_EQ(errorNumber([] { ByteLimitRule(4, 1, "500x", {}); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { ByteLimitRule(8, 1, {}, "50%"); }), AppError::TypeMismatch);
}

// Sizes round half to even; the width is checked before the height.
TEST(TargetSizeRule, SizesAndRefusals)
{
    EXPECT_EQ(size(0, 1003, 750), "1003x750");
    EXPECT_EQ(size(1, 1200, 1600), "640x480");
    EXPECT_EQ(size(4, 1003, 750), "251x188");
    EXPECT_EQ(size(5, 1003, 750), "502x375");   // 501.5 goes to 502
    EXPECT_EQ(size(7, 1003, 750, {}, {}, "50", "50"), "501x375");   // 50 x 10.03 is just below 501.5
    EXPECT_EQ(size(6, 1001, 601), "751x451");
    EXPECT_EQ(size(7, 1000, 600, {}, {}, "999", "999"), "9990x5994");
    EXPECT_EQ(size(4, 1, 1), "0x0");
    EXPECT_EQ(size(3, 10, 10, "800", "600"), "800x600");
    EXPECT_EQ(size(2, 10, 10, "junk", "junk", "junk", "junk"), "800x600");
    EXPECT_EQ(size(3, 10, 10, "00", "600"), "C");
    EXPECT_EQ(size(3, 10, 10, "", ""), "C");
    EXPECT_EQ(size(3, 10, 10, "800", ""), "D");
    EXPECT_EQ(size(7, 10, 10, {}, {}, "0", "0"), "E");
    EXPECT_EQ(size(7, 10, 10, {}, {}, "5", ""), "F");
    EXPECT_EQ(errorNumber([] { TargetSizeRule(3, 1, 1, "500x", "5", {}, {}); }), AppError::TypeMismatch);
}

TEST(GetSelectedOption, LastCheckedOrZero)
{
    EXPECT_EQ(GetSelectedOption(std::vector<bool>(9, false), 9), 0);
    std::vector<bool> opts(8, false);
    opts[2] = true;
    EXPECT_EQ(GetSelectedOption(opts, 8), 2);
    opts[6] = true;
    EXPECT_EQ(GetSelectedOption(opts, 8), 6);
    EXPECT_EQ(GetSelectedOption(opts, 5), 2);
}

// The one rule both front ends ask: only a JPEG whose file already fits is
// asked about, and only a yes squashes it (once, at quality 100).
TEST(ConfirmWithinLimit, AsksOnlyAboutAJpegThatAlreadyFits)
{
    struct Case { const char *name; qint64 length; int fixed; bool answer, asked, go, anyway; };
    const Case cases[] = {
        {"a.jpg", 100, 0, true, true, true, true},   {"a.JPEG", 100, 0, false, true, false, false},
        {"a.jpg", 201, 0, true, false, true, false}, {"a.gif", 100, 0, false, false, true, false},
        {"a.jpg", 100, 50, false, false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SquashCore::Request r;
        r.inputPath = QString::fromUtf8(c.name);
        SquashCore::Aim(r, TargetFor(BytePresetChoice(0), {}, 0, 10, 10));
        r.maxFileSize = 200;
        r.fixedQuality = c.fixed;
        bool asked = false;
        EXPECT_EQ(SquashCore::ConfirmWithinLimit(r, c.length, [&] { asked = true; return c.answer; }), c.go);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(r.continueAnyway, c.anyway);
        EXPECT_EQ(r.newWidth, 10.0f);
    }
}
