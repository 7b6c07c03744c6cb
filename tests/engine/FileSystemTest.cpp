// Where the squash writes can fail: each must end in one clear error naming
// its cause, with nothing left behind: no temporary file, no output.

#include "EngineTestSupport.h"
#include "Picture.h"
#include "SquashCore.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace EngineTest;

TEST(SquashWrites, AFolderInTheWayANameTooLongOrALockedFolderIsAnError)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("horse_squashed.jpg"));
    // Permissions do not stop root; /proc takes no new files from anyone.
    QString locked = QStringLiteral("/proc");
    if (::geteuid() != 0) {
        locked = dir.filePath(QStringLiteral("locked"));
        QDir().mkdir(locked);
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
    }
    const struct { QString input, folder, cause; } cases[] = {
        {QStringLiteral("horse.gif"), {}, QStringLiteral("horse_squashed.jpg")},
        {QString(246, QLatin1Char('n')) + QStringLiteral(".gif"), {}, QStringLiteral("too long")},
        {QStringLiteral("other.gif"), locked, locked},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(qPrintable(c.cause));
        SquashCore::Request r;
        r.picture = Picture::LoadPicture(corpus("horse.gif"));
        r.inputPath = dir.filePath(c.input);
        r.destFolder = c.folder;
        r.maxFileSize = 20000;
        const auto left = [&] {
            return QDir(c.folder.isEmpty() ? dir.path() : c.folder)
                .entryList({QStringLiteral(".quillmoss*"), QStringLiteral("*_squashed.jpg")}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        };
        const QStringList before = left();
        try {
            SquashCore::Squash(r);
            ADD_FAILURE() << "the squash did not fail";
        } catch (const AppError &e) {
            EXPECT_TRUE(e.description().contains(c.cause, Qt::CaseInsensitive)) << qPrintable(e.reportText());
        }
        EXPECT_EQ(left(), before);
    }
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("horse_squashed.jpg"))).isDir());
}
