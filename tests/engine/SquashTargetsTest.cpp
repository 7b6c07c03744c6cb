#include "SquashCore.h"
#include "EngineTestSupport.h"
#include "SquashTargets.h"

#include <gtest/gtest.h>

using namespace SquashTargets;
using EngineTest::errorNumber;

namespace {

// The limit, or the title and text of the refusal.
QString limit(const Checked<LimitChoice> &c, std::int32_t length)
{
    return c.refusal ? c.refusal->title + ": " + c.refusal->text : QString::number(ByteLimitFor(c.choice, length));
}

QString size(const Checked<SizeChoice> &c, float pw, float ph)
{
    if (c.refusal)
        return c.refusal->title + ": " + c.refusal->text;
    float w = 0, h = 0;
    SizeFor(c.choice, pw, ph, w, h);
    return QStringLiteral("%1x%2").arg(double(w)).arg(double(h));
}

template <typename Choice>
Checked<Choice> preset(Choice c) { return {c, std::nullopt}; }

} // namespace

// The user's boxes are checked by their leading number; "No Resize" and a
// typed percentage stay one byte below the figure.
TEST(ByteLimit, LimitsAndUserEntries)
{
    struct Case { Checked<LimitChoice> choice; std::int32_t length; const char *expected; };
    const char *size = "Invalid file size: The specifed size must be between 100 to 2.147,483.647.";
    const char *percent = "Invalid percent: The specifed percent must be between 1 to 100";
    const Case cases[] = {
        {{}, 12345, "12344"},                            {preset(BytePresetChoice(0)), 12345, "51200"},
        {preset(BytePresetChoice(2)), 12345, "256000"},  {preset(FractionChoice(0)), 12345, "3086"},
        {preset(FractionChoice(1)), 12345, "6172"},      // 6172.5 goes to the even neighbour
        {preset(FractionChoice(2)), 12345, "9259"},      {UserPercent("50"), 12345, "6171"},
        {UserPercent("100"), 12345, "12344"},            {UserPercent("1"), 1000, "9"},
        {UserBytes("100"), 1, "100"},                    {UserBytes("2147483647"), 1, "2147483647"},
        {UserBytes("99"), 1, size},                      {UserBytes("0042"), 1, size},
        {UserBytes(""), 1, size},                        {UserBytes("2147483648"), 1, size},
        {UserPercent("0"), 1, percent},                  {UserPercent("101"), 1, percent},
    };
    for (const Case &c : cases)
        EXPECT_EQ(limit(c.choice, c.length), c.expected);
    // A leading number that passes while the whole text is no number.
    EXPECT_EQ(errorNumber([] { UserBytes("500x"); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { UserPercent("50%"); }), AppError::TypeMismatch);
}

// Sizes round half to even; the width is checked before the height.
TEST(TargetSize, SizesAndRefusals)
{
    struct Case { Checked<SizeChoice> choice; float pw, ph; const char *expected; };
    const Case cases[] = {
        {{}, 1003, 750, "1003x750"},
        {preset(SizePresetChoice(0)), 1200, 1600, "640x480"},
        {preset(FractionSizeChoice(0)), 1003, 750, "251x188"},
        {preset(FractionSizeChoice(1)), 1003, 750, "502x375"},     // 501.5 goes to 502
        {UserPercentSize("50", "50"), 1003, 750, "501x375"},       // 50 x 10.03 is just below 501.5
        {preset(FractionSizeChoice(2)), 1001, 601, "751x451"},
        {UserPercentSize("999", "999"), 1000, 600, "9990x5994"},
        {preset(FractionSizeChoice(0)), 1, 1, "0x0"},
        {UserPixels("800", "600"), 10, 10, "800x600"},
        {UserPixels("00", "600"), 10, 10, "Invalid Width: Width must be above 0"},
        {UserPixels("", ""), 10, 10, "Invalid Width: Width must be above 0"},
        {UserPixels("800", ""), 10, 10, "Invalid Height: Height must be above 0"},
        {UserPercentSize("0", "0"), 10, 10, "Invalid Width: Width must be above 0."},
        {UserPercentSize("5", ""), 10, 10, "Invalid Height: Height must be above 0."},
    };
    for (const Case &c : cases)
        EXPECT_EQ(size(c.choice, c.pw, c.ph), c.expected);
    EXPECT_EQ(errorNumber([] { UserPixels("500x", "5"); }), AppError::TypeMismatch);
}

// The one rule both front ends ask: only a JPEG whose file already fits is
// asked about, and only a yes squashes it.
TEST(ConfirmWithinLimit, AsksOnlyAboutAJpegThatAlreadyFits)
{
    struct Case { const char *name; qint64 length; int fixed; bool answer, asked, go; };
    const Case cases[] = {
        {"a.jpg", 100, 0, true, true, true},   {"a.JPEG", 100, 0, false, true, false},
        {"a.jpg", 201, 0, true, false, true},  {"a.gif", 100, 0, false, false, true},
        {"a.jpg", 100, 50, false, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SquashCore::Request r;
        r.inputPath = QString::fromUtf8(c.name);
        r.maxFileSize = 200;
        r.fixedQuality = c.fixed;
        bool asked = false;
        EXPECT_EQ(SquashCore::ConfirmWithinLimit(r, c.length, [&] { asked = true; return c.answer; }), c.go);
        EXPECT_EQ(asked, c.asked);
    }
}
