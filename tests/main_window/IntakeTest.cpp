#include "../engine/CraftedPictures.h"
#include "ImageBox.h"
#include "ProgressSurface.h"
#include "MainWindowFixture.h"
#include "frmMain.h"
#include "frmPicture.h"

#include <QAbstractTextDocumentLayout>
#include <QFileInfo>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

using Intake = MainWindow;

// The open dialog, a drop on the window and the command line alike: one
// file loads, several are squashed in the order given, a non-picture or a
// picture too large to hold among them is reported and skipped. A failed
// load keeps the loaded picture whole: the squash that follows takes its
// pixels, its name and its length together.
TEST_F(Intake, OneFileLoadsAndSeveralAreSquashedInOrderFromEveryEntry)
{
    const QString a = copy("horse.gif", "a.gif"), b = copy("video-001.jpeg", "b.jpeg"), c = copy("horse.bmp", "c.bmp");
    const QString notes = dir.filePath(QStringLiteral("notes.jpg")), bomb = dir.filePath(QStringLiteral("screen.gif"));
    ASSERT_TRUE(writeAll(notes, "not a picture"));
    ASSERT_TRUE(writeAll(bomb, Crafted::gifScreen(16384, 16383)));
    enum Entry { Dialog, Drop, CommandLine };
    for (const Entry entry : {Dialog, Drop, CommandLine}) {
        SCOPED_TRACE(int(entry));
        for (const char *base : {"a", "b", "c"})
            QFile::remove(squashed(base));
        boxes.shown.clear();
        loaded.clear();
        frmMain w(boxes);
        watch(w.txtFile);
        const auto give = [&](const QStringList &paths) {
            if (entry == Dialog)
                open(w, paths);
            else if (entry == Drop)
                EXPECT_TRUE(dropFiles(w.txtSuffix, paths));
            else
                w.LoadFiles(paths);
            settle(w);
        };
        give({a});
        EXPECT_EQ(w.txtFile->text(), a);
        EXPECT_EQ(w.chkAutoCommit->state(), 0);
        EXPECT_FALSE(QFileInfo::exists(squashed("a")));
        give({notes});
        EXPECT_EQ(w.txtFile->text() + '|' + w.txtActualSize->text(), a + '|' + QString::number(QFileInfo(a).size()));
        squash(w);
        EXPECT_TRUE(QFileInfo::exists(squashed("a")));

        loaded.clear();
        give({c, notes, bomb, b});
        EXPECT_EQ(w.chkAutoCommit->state(), 1);
        EXPECT_EQ(loaded, (QStringList{c, b}));   // a non-picture never reaches txtFile
        ASSERT_EQ(boxes.shown.size(), 3u);
        for (int i : {0, 1})
            EXPECT_EQ(boxes.shown[i].title + boxes.shown[i].text,
                      QStringLiteral("Invalid PictureUnable to load the picture, it needs to be in GIF, JPEG, BMP, PNG, WebP, TIFF, or HEIC format"));
        // A picture too large to hold is not called a wrong format: its size is named.
        EXPECT_TRUE(boxes.shown[2].text.startsWith(QStringLiteral("Error 7: Out of memory (a picture of 16384 x 16383")))
            << qPrintable(boxes.shown[2].text);
        for (const char *base : {"b", "c"})
            EXPECT_TRUE(QFileInfo::exists(squashed(base))) << base;
        EXPECT_FALSE(QFileInfo::exists(squashed("notes")));
    }
}

// A cancel changes nothing; a pick is remembered as the next folder. The
// first filter matches every format read. Names typed in the dialog that do
// not exist are named in one box and the rest of the pick still loads. Files
// from two folders are each squashed in their own folder, even where the
// first holds a file of the same name; two of one name in one folder write
// two outputs.
TEST_F(Intake, TheOpenDialogOffersEveryFormatNamesMissingFilesAndKeepsEachFilesFolder)
{
    frmMain w(boxes);
    watch(w.txtFile);
    const QString start = w.m_strLastUsedPath;
    open(w, std::nullopt);
    EXPECT_EQ(w.m_strLastUsedPath, start);
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_TRUE(asked.multiple);
    ASSERT_FALSE(asked.filters.isEmpty());
    const QStringList patterns = asked.filters[0].section(QLatin1Char('('), -1).chopped(1).split(QLatin1Char(' '));
    for (const char *name : {"a.jpg", "a.JPEG", "a.gif", "a.bmp", "a.png", "a.webp", "a.tif", "a.TIFF", "a.heic", "a.heif"})
        EXPECT_TRUE(QDir::match(patterns, QString::fromUtf8(name))) << name;

    const QString horse = copy("horse.gif");
    open(w, QStringList{horse});
    open(w, std::nullopt);
    EXPECT_EQ(asked.folder, dir.path());

    loaded.clear();
    QFile::remove(squashed("horse"));
    const QString bmp = copy("horse.bmp");
    copy("video-001.jpeg", QStringLiteral("GreenMeadow.jpg"));   // a different picture, same name
    QDir(dir.path()).mkdir(QStringLiteral("elsewhere"));
    const QString meadow = copy("GreenMeadow.jpg", QStringLiteral("elsewhere/GreenMeadow.jpg"));
    open(w, QStringList{dir.filePath("no-such-a.gif"), meadow, horse, bmp, dir.filePath("no-such-b.gif")});
    EXPECT_EQ(loaded, (QStringList{meadow, horse, bmp}));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("no-such-a.gif")) &&
                boxes.shown[0].text.contains(QStringLiteral("no-such-b.gif"))) << qPrintable(boxes.shown[0].text);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("elsewhere/GreenMeadow_squashed.jpg")));
    EXPECT_EQ(QDir(dir.path()).entryList({"*_squashed.jpg"}), (QStringList{"horse_bmp_squashed.jpg", "horse_squashed.jpg"}));
}

TEST_F(Intake, DropsOfNoFilesAreRefused)
{
    const QString a = copy("horse.gif", QStringLiteral("a.gif"));
    frmMain w(boxes);
    watch(w.txtFile);
    EXPECT_FALSE(dropFiles(w.chkTopMost, {a}));
    EXPECT_FALSE(dropFiles(w.chkAutoCommit, {a}, true));           // text, no files
    EXPECT_FALSE(dropFiles(w.fraFileDetails, {QStringLiteral("https://example.org/x.jpg")}));
    settle(w);
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_TRUE(dropFiles(w.fraFileDetails, {a}));
}

// A new intake never cancels a squash: with Auto-Commit on, an intake while
// the first file loads and a drop after a squash's first try join the queue,
// and every file is squashed in order; New Size shows the picture squashing.
// The strip says which file of how many; at the end the result box sums the
// batch on its first line, then gives one line a file. Escape, closing or
// deleting the window stop after the current try: that file and those after
// it are not written.
TEST_F(Intake, ABatchSquashesEveryFileThatCameInShowsEveryResultAndStopsWritingNothing)
{
    // b is large, so that its squash outlasts the time a stop takes to arrive.
    const QStringList inputs{copy("horse.gif", "a.gif"), copy("Kleiber_by_Lukas_Baubkus.jpg", "b.jpg"),
                             copy("video-001.jpeg", "c.jpeg"), copy("horse.bmp", "d.bmp")};
    enum Stop { None, Escape, Close, Delete };
    for (const Stop stop : {None, Escape, Close, Delete}) {
        SCOPED_TRACE(int(stop));
        for (const char *base : {"a", "b", "c", "d"})
            QFile::remove(squashed(base));
        loaded.clear();
        auto w = std::make_unique<frmMain>(boxes);
        watch(w->txtFile);
        w->show();
        w->chkAutoCommit->setState(1);
        w->optSize[4]->click();
        w->txtUserSize->setText(QStringLiteral("5000"));
        w->LoadFiles({inputs[0]});
        w->LoadFiles({inputs[1], inputs[2]});
        while (w->loaded().path != inputs[1] && w->busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        while (w->ProgressBar->value() == 0 && w->busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        EXPECT_TRUE(dropFiles(w->fraFileDetails, {inputs[3]}));
        EXPECT_EQ(w->txtEstimatedWidth->text(), QStringLiteral("6028"));
        EXPECT_TRUE(w->picScrollBar->printed().startsWith(QStringLiteral("File 2 of 3"))) << qPrintable(w->picScrollBar->printed());
        if (stop == Escape)
            QTest::keyClick(w.get(), Qt::Key_Escape);
        else if (stop == Close)
            w->close();
        if (stop == Delete) {
            w.reset();   // waits for the running try; nothing it reports arrives after
            QCoreApplication::processEvents();
        } else {
            settle(*w);
            EXPECT_EQ(w->isVisible(), stop != Close);
            const QStringList lines = w->txtResult->text().split(QLatin1Char('\n'));
            ASSERT_EQ(lines.size(), 5) << qPrintable(w->txtResult->text());
            EXPECT_EQ(lines[0], stop == None ? QStringLiteral("3 squashed, 1 FAILED") : QStringLiteral("1 squashed, 3 stopped"));
            EXPECT_TRUE(lines[1].startsWith(QStringLiteral("a.gif: SUCCESS, "))) << qPrintable(lines[1]);
            EXPECT_TRUE(lines[2].startsWith(stop ? QStringLiteral("b.jpg: Squash cancelled") : QStringLiteral("b.jpg: FAILED, ")))
                << qPrintable(lines[2]);
            EXPECT_TRUE(lines[4].startsWith(stop ? QStringLiteral("d.bmp: Squash cancelled") : QStringLiteral("d.bmp: SUCCESS, ")))
                << qPrintable(lines[4]);
            // The box shows the sums first and each file on a line of its own.
            EXPECT_EQ(w->txtResult->verticalScrollBar()->value(), 0);
            QTextDocument *text = w->txtResult->document();
            for (QTextBlock b = text->firstBlock(); b.isValid(); b = b.next()) {
                text->documentLayout()->blockBoundingRect(b);   // laid out now
                EXPECT_EQ(b.layout()->lineCount(), 1) << qPrintable(b.text());
            }
            EXPECT_EQ(loaded, stop ? inputs.mid(0, 2) : inputs);
        }
        EXPECT_TRUE(QFileInfo::exists(squashed("a")));
        for (const char *base : {"b", "c", "d"})
            EXPECT_EQ(QFileInfo::exists(squashed(base)), stop == None) << base;
    }
}

// A picture that takes long to decode (450 scans, below the decoder's limit)
// decodes off the window's thread: the event loop keeps turning, the window
// shows a busy cursor and "Loading NAME...", and the file box changes when
// the picture shown changes, not before. A newer intake or a close gives a
// load that only shows a picture up.
TEST_F(Intake, ALoadKeepsTheWindowTurningShowsItsWorkAndGivesWayToANewerOne)
{
    const QString horse = copy("horse.gif");
    const QString slow = dir.filePath(QStringLiteral("scans.jpg"));
    ASSERT_TRUE(writeAll(slow, Crafted::scanBomb(1600, 450)));
    frmMain w(boxes);
    load(w, horse);
    watch(w.txtFile);
    int turns = 0, turnsWhenLoaded = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(0);
    QObject::connect(w.txtFile, &QLineEdit::textChanged, [&] { turnsWhenLoaded = turns; });
    picked = QStringList{slow};
    w.cmdOpen->click();
    EXPECT_EQ(w.txtFile->text(), horse);
    EXPECT_EQ(w.txtActualWidth->text(), QStringLiteral("200"));
    EXPECT_EQ(w.txtResult->text(), QStringLiteral("Loading scans.jpg..."));
    EXPECT_EQ(w.cursor().shape(), Qt::BusyCursor);
    settle(w);
    EXPECT_EQ(loaded, QStringList{slow});
    EXPECT_GE(turnsWhenLoaded, 2);
    EXPECT_EQ(w.loaded().preview.size(), w.imgPicture->pixelSize());   // reduced on the worker too
    EXPECT_EQ(w.txtResult->text(), frmMain::NotYet());
    EXPECT_NE(w.cursor().shape(), Qt::BusyCursor);

    w.LoadFilePicture(slow);
    EXPECT_TRUE(dropFiles(w.fraFileDetails, {horse}));
    settle(w);
    EXPECT_EQ(w.loaded().path, horse);

    w.show();
    w.LoadFilePicture(slow);
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.busy());
    EXPECT_TRUE(boxes.shown.empty());
}

// With "Together" ticked, three files opened at once share the limit: the
// three written files together fit in 100 KB (GreenMeadow alone squashes to
// almost that; how the limit is split is BatchBudgetTest's), the report
// gives the total, and the box is remembered.
TEST_F(Intake, ABatchWithTogetherTickedSharesTheLimit)
{
    {
        frmMain w(boxes);
        EXPECT_EQ(w.chkTotalSize->state(), 0);
        w.chkAutoCommit->setState(1);
        w.chkTotalSize->setState(1);
        w.optSize[2]->click();   // 100 KB
        w.LoadFiles({copy("GreenMeadow.jpg"), copy("horse.gif"), copy("bug725582-testrotate.jpg")});
        settle(w);
        qint64 sum = 0;
        for (const char *base : {"GreenMeadow", "horse", "bug725582-testrotate"})
            sum += QFileInfo(squashed(base)).size();
        EXPECT_LE(sum, 100 * 1024);
        const QStringList lines = w.txtResult->text().split(QLatin1Char('\n'));
        ASSERT_GE(lines.size(), 2) << qPrintable(w.txtResult->text());
        EXPECT_EQ(lines[0], QStringLiteral("3 squashed"));
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("3 pictures, ")) && lines[1].contains(QStringLiteral(" of 100 KB; quality ")))
            << qPrintable(lines[1]);
        w.close();
    }
    EXPECT_EQ(frmMain(boxes).chkTotalSize->state(), 1);
}
