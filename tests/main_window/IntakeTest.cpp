#include "../engine/CraftedPictures.h"
#include "ImageBox.h"
#include "MainWindowFixture.h"
#include "clsCommonDialogs.h"
#include "frmMain.h"
#include "frmPicture.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <unistd.h>

namespace {

class Intake : public MainWindow
{
protected:
    std::optional<QStringList> picked;
    clsCommonDialogs::FileRequest asked;
    QStringList loaded;     // txtFile, each time it changes
    QStringList results;    // txtResult, each time it changes

    void SetUp() override
    {
        MainWindow::SetUp();
        clsCommonDialogs::SetFileChooser([this](const auto &r) { asked = r; return picked; });
    }
    void TearDown() override
    {
        clsCommonDialogs::SetFileChooser({});
        MainWindow::TearDown();
    }
    void watch(frmMain &w)
    {
        QObject::connect(w.txtFile, &QLineEdit::textChanged, [this](const QString &t) { loaded << t; });
        QObject::connect(w.txtResult, &ResultBox::changed, [this](const QString &t) { results << t; });
    }
};

} // namespace

// The open dialog, a drop on the window and the command line alike: one
// file loads, several are squashed in the order given, a non-picture among
// them is reported and skipped.
TEST_F(Intake, OneFileLoadsAndSeveralAreSquashedInOrderFromEveryEntry)
{
    const QString a = copy("horse.gif", QStringLiteral("a.gif"));
    const QString b = copy("video-001.jpeg", QStringLiteral("b.jpeg"));
    const QString c = copy("horse.bmp", QStringLiteral("c.bmp"));
    const QString notes = dir.filePath(QStringLiteral("notes.jpg"));
    ASSERT_TRUE(writeAll(notes, "not a picture"));
    enum Entry { Dialog, Drop, CommandLine };
    for (const Entry entry : {Dialog, Drop, CommandLine}) {
        SCOPED_TRACE(int(entry));
        for (const char *base : {"b", "c"})
            QFile::remove(squashed(base));
        boxes.shown.clear();
        loaded.clear();
        frmMain w(boxes);
        watch(w);
        const auto give = [&](const QStringList &paths) {
            if (entry == Dialog) {
                picked = paths;
                w.cmdOpen->click();
            } else if (entry == Drop) {
                EXPECT_TRUE(dropFiles(w.txtSuffix, paths));
            } else {
                w.LoadFiles(paths);
            }
            settle(w);
        };
        give({a});
        EXPECT_EQ(w.txtFile->text(), a);
        EXPECT_EQ(w.chkAutoCommit->state(), 0);
        EXPECT_FALSE(QFileInfo::exists(squashed("a")));

        loaded.clear();
        give({c, notes, b});
        EXPECT_EQ(w.chkAutoCommit->state(), 1);
        if (entry == Dialog) {   // the dialog shows the name, then gives the box back
            EXPECT_EQ(loaded.removeAll(notes), 1);
            loaded.removeDuplicates();
        }
        EXPECT_EQ(loaded, (QStringList{c, b}));   // a drop's non-picture never reaches txtFile
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Unable to load the picture, it needs to be in GIF, JPEG, BMP, PNG, WebP, TIFF, or HEIC format"));
        for (const char *base : {"b", "c"})
            EXPECT_TRUE(QFileInfo::exists(squashed(base))) << base;
        EXPECT_FALSE(QFileInfo::exists(squashed("notes")));
    }
}

// A name that is not UTF-8 (Latin-1 bytes from an old camera card), dropped
// or named on the command line, loads and squashes under its own bytes.
TEST_F(Intake, ANameThatIsNotUtf8LoadsAndSquashesFromADropAndTheCommandLine)
{
    const QByteArray folder = QFile::encodeName(dir.path());
    copy("horse.gif");
    ASSERT_EQ(::rename((folder + "/horse.gif").constData(), (folder + "/caf\xe9.gif").constData()), 0);
    const QByteArray output = folder + "/caf\xe9_squashed.jpg";
    // QTemporaryDir cannot remove what it cannot name.
    const auto cleanUp = qScopeGuard([&] {
        ::unlink((folder + "/caf\xe9.gif").constData());
        ::unlink(output.constData());
    });
    for (const bool dropped : {true, false}) {
        SCOPED_TRACE(dropped);
        ::unlink(output.constData());
        boxes.shown.clear();
        frmMain w(boxes);
        if (dropped) {
            QMimeData data;
            data.setData(QStringLiteral("text/uri-list"), "file://" + folder.toPercentEncoding("/") + "/caf%E9.gif\r\n");
            EXPECT_TRUE(dropData(w.txtSuffix, data));
        } else {
            // As the command line's bytes arrive: the odd byte kept as U+DC00 + byte.
            w.LoadFiles({dir.path() + QStringLiteral("/caf") + QChar(0xDCE9) + QStringLiteral(".gif")});
        }
        settle(w);
        EXPECT_TRUE(boxes.shown.empty()) << qPrintable(boxes.shown.empty() ? QString() : boxes.shown[0].text);
        EXPECT_EQ(w.txtActualSize->text(), QString::number(QFile(corpus("horse.gif")).size()));
        w.cmdSquash_Click();
        settle(w);
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(::access(output.constData(), F_OK), 0);
    }
}

// A cancel changes nothing; a pick is remembered as the next folder. Files
// at the root are joined to "/" as they come: a doubled separator, which the
// system reads as one; each failed load gives txtFile back (to nothing) and
// the batch goes on.
TEST_F(Intake, TheOpenDialogRemembersItsFolderAndACancelChangesNothing)
{
    frmMain w(boxes);
    watch(w);
    const QString start = w.m_strLastUsedPath;
    w.cmdOpen->click();
    settle(w);
    EXPECT_EQ(w.m_strLastUsedPath, start);
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_TRUE(asked.multiple);

    picked = QStringList{copy("horse.gif")};
    w.cmdOpen->click();
    settle(w);
    w.cmdOpen->click();
    settle(w);
    EXPECT_EQ(asked.folder, dir.path());

    loaded.clear();
    picked = QStringList{QStringLiteral("/no-such-a.gif"), QStringLiteral("/no-such-b.gif")};
    w.cmdOpen->click();
    settle(w);
    const QString horse = dir.filePath(QStringLiteral("horse.gif"));
    EXPECT_EQ(loaded, (QStringList{QStringLiteral("//no-such-a.gif"), horse, QStringLiteral("//no-such-b.gif"), horse}));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].title, QStringLiteral("Invalid Picture"));
}

TEST_F(Intake, DropsOfNoFilesAreRefused)
{
    const QString a = copy("horse.gif", QStringLiteral("a.gif"));
    frmMain w(boxes);
    watch(w);
    EXPECT_FALSE(dropFiles(w.chkTopMost, {a}));
    EXPECT_FALSE(dropFiles(w.chkAutoCommit, {a}, true));           // text, no files
    EXPECT_FALSE(dropFiles(w.fraFileDetails, {QStringLiteral("https://example.org/x.jpg")}));
    settle(w);
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_TRUE(dropFiles(w.fraFileDetails, {a}));
}

// A drop while a squash runs joins the queue; nothing runs nested.
TEST_F(Intake, ADropDuringABatchIsQueuedAndFollowsInOrder)
{
    const QString a = copy("Picture_1A_by_freespace.jpg", QStringLiteral("a.jpg"));
    const QString b = copy("GreenMeadow.jpg", QStringLiteral("b.jpg"));
    const QString c = copy("horse.gif", QStringLiteral("c.gif"));
    frmMain w(boxes);
    watch(w);
    w.optSize[2]->click();
    bool dropped = false;
    QObject::connect(w.txtResult, &ResultBox::changed, [&](const QString &text) {
        if (!dropped && text.startsWith(QStringLiteral("Squashing in progress"))) {
            dropped = true;
            EXPECT_FALSE(w.cmdSquash->isEnabled());
            EXPECT_TRUE(dropFiles(w.cmdOpen, {c}));
        }
    });
    EXPECT_TRUE(dropFiles(w.txtFile, {a, b}));
    EXPECT_TRUE(w.busy());
    settle(w);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(loaded, (QStringList{a, b, c}));
    EXPECT_TRUE(results.filter(QStringLiteral("(1 more queued)")).size() > 0) << qPrintable(results.join('|'));
    for (const char *base : {"a", "b", "c"})
        EXPECT_LE(QFileInfo(squashed(base)).size(), 102400) << base;
    EXPECT_TRUE(w.cmdSquash->isEnabled());
}

// A failed load keeps the loaded picture whole: the squash that follows
// takes its pixels, its name and its length together.
TEST_F(Intake, AFailedLoadLeavesTheLoadedPictureWhole)
{
    const QString photo = copy("video-001.jpeg");
    const QString notes = dir.filePath(QStringLiteral("notes.jpg"));
    ASSERT_TRUE(writeAll(notes, "not a picture!"));
    frmMain w(boxes);
    picked = QStringList{photo};
    w.cmdOpen->click();
    settle(w);
    picked = QStringList{notes};
    w.cmdOpen->click();
    settle(w);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Invalid Picture"));
    EXPECT_EQ(w.txtFile->text(), photo);
    EXPECT_EQ(w.txtActualSize->text(), QString::number(QFileInfo(photo).size()));

    w.cmdSquash_Click();
    settle(w);
    EXPECT_EQ(boxes.shown.size(), 1u);   // no question about the 14-byte file
    EXPECT_TRUE(w.txtResult->text().startsWith(QStringLiteral("SUCCESS"))) << qPrintable(w.txtResult->text());
    EXPECT_EQ(w.m_strSquashedFile, squashed("video-001"));
    EXPECT_TRUE(QFileInfo::exists(squashed("video-001")));
    EXPECT_FALSE(QFileInfo::exists(squashed("notes")));

    // A failed load with nothing loaded leaves txtFile empty.
    frmMain empty(boxes);
    empty.LoadFilePicture(notes);
    settle(empty);
    EXPECT_EQ(empty.txtFile->text(), QString());
    empty.cmdSquash_Click();
    settle(empty);
    EXPECT_EQ(boxes.shown.back().title, QStringLiteral("No picture present"));

    // A picture too large to hold is not called a wrong format: its size is named.
    const QString bomb = dir.filePath(QStringLiteral("screen.gif"));
    ASSERT_TRUE(writeAll(bomb, Crafted::gifScreen(16384, 16383)));
    empty.LoadFilePicture(bomb);
    settle(empty);
    EXPECT_TRUE(boxes.shown.back().text.startsWith(QStringLiteral("Error 7: Out of memory (a picture of 16384 x 16383")))
        << qPrintable(boxes.shown.back().text);
}

// Files chosen from two folders are each squashed from their own folder,
// even where the first folder holds a file of the same name.
TEST_F(Intake, FilesFromSeveralFoldersKeepTheirOwnFolder)
{
    const QString horse = copy("horse.gif");
    copy("video-001.jpeg", QStringLiteral("GreenMeadow.jpg"));   // a different picture, same name
    QDir(dir.path()).mkdir(QStringLiteral("elsewhere"));
    const QString meadow = copy("GreenMeadow.jpg", QStringLiteral("elsewhere/GreenMeadow.jpg"));
    frmMain w(boxes);
    watch(w);
    picked = QStringList{horse, meadow};
    w.cmdOpen->click();
    settle(w);
    EXPECT_EQ(loaded, (QStringList{horse, meadow}));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("elsewhere/GreenMeadow_squashed.jpg"))));
    EXPECT_FALSE(QFileInfo::exists(squashed("GreenMeadow")));
    EXPECT_TRUE(boxes.shown.empty());
}

// A picture that takes long to decode (450 scans, below the decoder's limit) decodes off the window's thread: the event loop keeps
// turning, and a newer drop or a close gives the load up.
TEST_F(Intake, LoadingKeepsTheWindowTurningAndANewerIntakeWins)
{
    const QString slow = dir.filePath(QStringLiteral("scans.jpg"));
    ASSERT_TRUE(writeAll(slow, Crafted::scanBomb(1600, 450)));

    frmMain w(boxes);
    int turns = 0, turnsWhenLoaded = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(0);
    QObject::connect(w.txtFile, &QLineEdit::textChanged, [&] { turnsWhenLoaded = turns; });
    w.LoadFilePicture(slow);
    settle(w);
    EXPECT_EQ(w.txtFile->text(), slow);
    EXPECT_GE(turnsWhenLoaded, 2);   // the loop ran while the picture decoded

    const QString horse = copy("horse.gif");
    frmMain newer(boxes);
    newer.LoadFilePicture(slow);
    EXPECT_TRUE(dropFiles(newer.fraFileDetails, {horse}));
    settle(newer);
    EXPECT_EQ(newer.txtFile->text(), horse);
    EXPECT_EQ(newer.loaded().path, horse);

    frmMain closing(boxes);
    closing.show();
    closing.LoadFilePicture(slow);
    closing.close();
    EXPECT_FALSE(closing.isVisible());
    EXPECT_FALSE(closing.busy());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Intake, TheViewerShowsEitherPictureAtItsOwnSize)
{
    frmMain w(boxes);
    w.imgPicture_Click();
    w.imgSquashed_Click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("No picture has been loaded"));
    EXPECT_EQ(w.viewer(), nullptr);

    const QString input = dir.filePath(QStringLiteral("wide.bmp"));
    QImage(1024, 768, QImage::Format_RGB32).save(input);
    w.LoadFilePicture(input);
    settle(w);
    w.optResize[1]->click();
    w.cmdSquash_Click();
    settle(w);
    ASSERT_TRUE(w.imgSquashed->hasPicture());

    // Looks at the modal viewer while it is open, then closes it.
    QSize inner, content;
    const auto inspect = [&] {
        QTimer::singleShot(0, [&] {
            auto *viewer = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            ASSERT_NE(viewer, nullptr);
            inner = viewer->size();
            content = w.viewer()->contentSize();
            viewer->close();
        });
    };
    inspect();
    w.imgPicture_Click();
    EXPECT_EQ(content, QSize(1024, 768));

    // Sized by the file it shows, not by the target fields of a later
    // squash that ended before writing.
    w.m_sngNewWidth = 800;
    w.m_sngNewHeight = 600;
    inspect();
    w.imgSquashed_Click();
    EXPECT_EQ(inner, QSize(640, 480));
    EXPECT_EQ(content, QSize(640, 480));

    QFile::remove(w.m_strSquashedFile);
    w.imgSquashed_Click();
    EXPECT_EQ(boxes.shown.back().text, QStringLiteral("The Squashed picture does not exist"));
    EXPECT_FALSE(w.imgSquashed->hasPicture());
}
