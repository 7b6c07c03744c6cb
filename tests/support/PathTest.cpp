#include "TestSupport.h"
#include "clsPathER.h"

#include <gtest/gtest.h>

namespace {

// The part, or "!" when the scan fails with error 5.
template <typename F>
QString part(F f)
{
    try {
        return f();
    } catch (const AppError &e) {
        return e.number() == AppError::InvalidCall ? QStringLiteral("!") : QStringLiteral("?");
    }
}

struct Split
{
    const char *path, *folder, *file, *base;
};

} // namespace

TEST(PathER, SplitsAtTheLastSeparatorAndDot)
{
    const Split table[] = {
        {"/Pictures/beach.jpg", "/Pictures", "beach.jpg", "beach"},
        {"/beach.jpg", "", "beach.jpg", "beach"},
        {"/Pictures/archive.tar.gz", "/Pictures", "archive.tar.gz", "archive.tar"},
        {"/Pictures/", "/Pictures", "", "!"},
        {"/my.pics/beach", "/my.pics", "beach", "!"},
        {"/Pictures/file.", "/Pictures", "file.", "file"},
        {"/Pictures/.jpg", "/Pictures", ".jpg", ""},
        {"beach.jpg", "!", "!", "!"},
        {"", "!", "!", "!"},
        {"/Bilder/Strand ä ö.jpeg", "/Bilder", "Strand ä ö.jpeg", "Strand ä ö"},
    };
    for (const Split &s : table) {
        clsPathER p;
        p.SetFullPath(QString::fromUtf8(s.path));
        SCOPED_TRACE(s.path);
        EXPECT_EQ(p.GetFullPath(), QString::fromUtf8(s.path));
        EXPECT_EQ(part([&] { return p.GetPath(); }), QString::fromUtf8(s.folder));
        EXPECT_EQ(part([&] { return p.GetFilename(); }), QString::fromUtf8(s.file));
        EXPECT_EQ(part([&] { return p.GetBaseFilename(); }), QString::fromUtf8(s.base));
    }
}
