// Where the squash writes can fail in many ways; each must end in one clear
// error with the input untouched, an older output byte for byte, and no
// temporary file left behind.

#include "EngineTestSupport.h"
#include "Picture.h"
#include "SquashCore.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace EngineTest;

namespace {

class SquashWrites : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QImage picture = Picture::LoadPicture(corpus("horse.gif"));

    SquashCore::Request request(const QString &input) const
    {
        SquashCore::Request r;
        r.picture = picture;
        r.inputPath = input;
        r.maxFileSize = 20000;
        return r;
    }
    // What a squash could leave in the folder: its temporary and its output.
    QStringList entries(const QString &folder) const
    {
        return QDir(folder).entryList({QStringLiteral(".quillmoss*"), QStringLiteral("*_squashed.jpg")},
                                      QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Runs a squash that must fail, and checks that nothing was left behind.
    AppError failing(const SquashCore::Request &r, const QString &folder)
    {
        const QStringList before = entries(folder);
        try {
            SquashCore::Squash(r);
        } catch (const AppError &e) {
            EXPECT_EQ(entries(folder), before);
            EXPECT_FALSE(e.description().isEmpty());
            return e;
        }
        ADD_FAILURE() << "the squash did not fail";
        return AppError(0, QString());
    }
};

} // namespace

TEST_F(SquashWrites, AFolderInTheWayANameTooLongOrALockedFolderIsAnError)
{
    QDir(dir.path()).mkdir(QStringLiteral("horse_squashed.jpg"));
    failing(request(dir.filePath(QStringLiteral("horse.gif"))), dir.path());
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("horse_squashed.jpg"))).isDir());

    const QString longName = dir.filePath(QString(246, QLatin1Char('n')) + QStringLiteral(".gif"));
    const AppError tooLong = failing(request(longName), dir.path());
    EXPECT_TRUE(tooLong.description().contains(QStringLiteral("too long"), Qt::CaseInsensitive))
        << qPrintable(tooLong.reportText());

    // Permissions do not stop root; /proc takes no new files from anyone.
    QString folder = QStringLiteral("/proc");
    if (::geteuid() != 0) {
        folder = dir.filePath(QStringLiteral("locked"));
        QDir().mkdir(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    auto r = request(dir.filePath(QStringLiteral("other.gif")));
    r.destFolder = folder;
    const AppError e = failing(r, folder);
    EXPECT_TRUE(e.number() == 70 || e.number() == 75) << qPrintable(e.reportText());
    EXPECT_TRUE(e.description().contains(folder)) << qPrintable(e.reportText());
}
