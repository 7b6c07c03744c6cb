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

// Several files come back as the folder and the names, separated by NUL,
// with no length limit; the first filter is index 0 to the dialog. (One file,
// a cancel and the folder the dialog opens in are the window's open tests'.)
TEST(CommonDialogs, ShowOpenGivesTheFolderAndNamesSeparatedByNulWithoutALengthLimit)
{
    QStringList many;
    for (int i = 0; i < 40; ++i)
        many << QStringLiteral("/pics/a rather long holiday picture name %1.jpg").arg(i);
    clsCommonDialogs::FileRequest asked;
    clsCommonDialogs::SetFileChooser([&](const auto &r) { asked = r; return std::optional(many); });
    const auto restore = qScopeGuard([] { clsCommonDialogs::SetFileChooser({}); });
    clsCommonDialogs d;
    d.Filter(kFilter);
    d.FilterIndex(1);
    d.ShowOpen();
    EXPECT_EQ(asked.filterIndex, 0);
    const QStringList names = QStringList(many).replaceInStrings(QStringLiteral("/pics/"), QString());
    EXPECT_EQ(d.FileName().split(QChar(0)), QStringList{QStringLiteral("/pics")} + names);
}
