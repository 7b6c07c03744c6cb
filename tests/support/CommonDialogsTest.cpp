#include "TestSupport.h"
#include "clsCommonDialogs.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <gtest/gtest.h>

namespace {

bool matches(const QString &filter, const QString &name)
{
    const QString patterns = filter.section(QLatin1Char('('), -1).chopped(1);
    for (const QString &p : patterns.split(QLatin1Char(' ')))
        if (QRegularExpression(QRegularExpression::wildcardToRegularExpression(p)).match(name).hasMatch())
            return true;
    return false;
}

const QString kFilter = QStringLiteral("All supported files (JPG,GIF,BMP)|*.jpg;*.gif;*.bmp|JPG|*.jpg|GIF|*.gif|BMP|*.bmp|All files|*.*");

} // namespace

TEST(CommonDialogs, FiltersMatchWithoutRegardToCaseAndTakeJpegToo)
{
    const QStringList filters = clsCommonDialogs::QtFilters(kFilter);
    ASSERT_EQ(filters.size(), 5);
    for (const char *name : {"PHOTO.JPG", "x.jpeg", "y.Jpg", "a.gif", "B.BMP"})
        EXPECT_TRUE(matches(filters[0], QString::fromUtf8(name))) << name;
    EXPECT_FALSE(matches(filters[0], QStringLiteral("notes.txt")));
    EXPECT_TRUE(matches(filters[1], QStringLiteral("x.JPEG")) && !matches(filters[1], QStringLiteral("x.gif")));
    EXPECT_TRUE(matches(filters[4], QStringLiteral("README")));
}

TEST(CommonDialogs, ShowOpenGivesOnePathOrTheFolderAndNamesSeparatedByNul)
{
    // Picks what a user would, and remembers what the dialog was asked for.
    struct { std::optional<QStringList> files; clsCommonDialogs::FileRequest asked; } pick;
    clsCommonDialogs::SetFileChooser([&](const auto &r) { pick.asked = r; return pick.files; });
    const auto restore = qScopeGuard([] { clsCommonDialogs::SetFileChooser({}); });
    clsCommonDialogs d;
    d.flags(2628096);
    d.Filter(kFilter);
    d.FilterIndex(1);
    d.FileName(QStringLiteral("/tmp/."));

    pick.files = QStringList{QStringLiteral("/pics/a.jpg")};
    d.ShowOpen();
    EXPECT_EQ(pick.asked.folder, QStringLiteral("/tmp"));
    EXPECT_TRUE(pick.asked.multiple);
    EXPECT_TRUE(pick.asked.mustExist);
    EXPECT_EQ(pick.asked.filterIndex, 0);
    EXPECT_EQ(d.FileName(), QStringLiteral("/pics/a.jpg"));

    pick.files = QStringList{QStringLiteral("/pics/a.jpg"), QStringLiteral("/pics/b.jpg")};
    d.ShowOpen();
    EXPECT_EQ(d.FileName(), QStringLiteral("/pics") + QChar(0) + QStringLiteral("a.jpg") + QChar(0) + QStringLiteral("b.jpg"));

    // No length limit: many long names come back whole.
    QStringList many;
    for (int i = 0; i < 40; ++i)
        many << QStringLiteral("/pics/a rather long holiday picture name %1.jpg").arg(i);
    pick.files = many;
    d.ShowOpen();
    EXPECT_EQ(d.FileName().split(QChar(0)).size(), 41);

    // Cancel: nothing changes.
    d.FileName(QStringLiteral("/tmp/."));
    pick.files.reset();
    d.ShowOpen();
    EXPECT_EQ(d.FileName(), QStringLiteral("/tmp/."));
    EXPECT_EQ(d.FilterIndex(), 1);
}
