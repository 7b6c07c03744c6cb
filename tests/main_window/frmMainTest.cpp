#include "ErrorHandlers.h"
#include "Runner.h"
#include "MainWindowFixture.h"
#include "WindowPosition.h"
#include "clsCommonDialogs.h"
#include "frmMain.h"

#include <QClipboard>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScreen>
#include <QScopeGuard>
#include <QTest>
#include <pwd.h>
#include <sys/inotify.h>
#include <unistd.h>

// What a start reads (out-of-range values as their defaults), a close writes
// back, in place and keeping what the window does not own.
TEST_F(MainWindow, SettingsAreReadAtTheStartAndWrittenOnceAtShutdown)
{
    writeIni("; my notes\n"
             "[DropZone]\nX=300\n"
             "[Main]\nAutoProcess=5\nTopMost=2\nDropZone=-1\nSuffix=\" _x \"\n"
             "LastUsedPath=\"/no/such/folder/.\"\nColour=green\n"
             "[Form]\nX=letters\nY=1500\n");
    {
        frmMain w(boxes);
        EXPECT_EQ(w.chkAutoCommit->state(), 0);
        EXPECT_EQ(w.chkTopMost->state(), 2);   // grey, and on top
        EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(w.chkDropZone->state(), 0);
        EXPECT_EQ(w.txtSuffix->text(), QStringLiteral(" _x "));
        EXPECT_EQ(w.m_strLastUsedPath, QCoreApplication::applicationDirPath());
        EXPECT_EQ(w.y(), 100);
        EXPECT_EQ(w.x(), WindowPosition::Centred(w.size()).x());   // letters: the designed left edge
        w.chkAutoCommit->setState(1);
        w.m_strLastUsedPath = dir.path() + QStringLiteral("/.");
        w.move(33, 44);
        // Closing replaces the file once (one temporary file made), not once a key.
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(), IN_CREATE), 0);
        w.close();
        int created = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;)
            for (char *at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len, ++created) {}
        ::close(watch);
        EXPECT_EQ(created, 1);
    }
    const QString text = QString::fromUtf8(readAll(ini));
    EXPECT_TRUE(text.startsWith(QStringLiteral("; my notes\n[DropZone]\nX=300\n[Main]\nAutoProcess=1\nTopMost=2\n"
                                               "DropZone=0\nSuffix=\" _x \"\nLastUsedPath=\"") + dir.path() +
                                QStringLiteral("/.\"\nColour=green\nTotalSize=0\n[Form]\nX=495\nY=660\n[About]\n")))
        << qPrintable(text);
}

// A refused entry shows its box (the texts are SquashTargetsTest's) and
// takes the focus to the box it names; an accepted one leaves it on Squash,
// which is disabled while the squash runs.
TEST_F(MainWindow, RefusedEntriesShowTheirBoxAndMoveTheFocus)
{
    frmMain w(boxes);
    ASSERT_TRUE(active(w));
    load(w, copy("horse.gif"));
    struct Case { int size, resize; QLineEdit *box; const char *text, *title; };
    const Case cases[] = {
        {4, 0, w.txtUserSize, "99", "Invalid file size"}, {8, 0, w.txtUserSizePercent, "101", "Invalid percent"},
        {0, 3, w.txtWidth, "0", "Invalid Width"},          {0, 3, w.txtHeight, "", "Invalid Height"},
        {0, 7, w.txtWidthPercent, "0", "Invalid Width"},   {0, 7, w.txtHeightPercent, "", "Invalid Height"},
        {4, 0, nullptr, "", ""},   // accepted
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        boxes.shown.clear();
        w.optSize[c.size]->click();
        w.optResize[c.resize]->click();
        for (QLineEdit *box : {w.txtUserSize, w.txtUserSizePercent, w.txtWidth, w.txtHeight, w.txtWidthPercent, w.txtHeightPercent})
            box->setText(box == c.box ? c.text : QString::fromLatin1(box == w.txtUserSize ? "5000" : "50"));
        w.cmdSquash->setFocus();
        QTest::keyClick(w.cmdSquash, Qt::Key_Return);
        settle(w);
        if (!c.box) {
            EXPECT_TRUE(boxes.shown.empty());
            EXPECT_EQ(w.focusWidget(), w.cmdSquash);
            continue;
        }
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, c.title);
        EXPECT_EQ(w.focusWidget(), c.box);
        EXPECT_EQ(c.box->selectedText(), c.text);
        EXPECT_EQ(w.txtResult->text(), frmMain::NotYet());
        EXPECT_FALSE(QFileInfo::exists(squashed("horse")));
    }
}

TEST_F(MainWindow, AJpegWithinTheLimitIsOnlySquashedWhenTheUserSaysYes)
{
    frmMain w(boxes);
    load(w, copy("video-001.jpeg"));
    w.optSize[3]->click();   // 250 KB: the 21 KB picture already fits
    boxes.answers = {MessageBoxes::No, MessageBoxes::Yes};
    for (const bool yes : {false, true}) {
        squash(w);
        EXPECT_EQ(QFileInfo::exists(squashed("video-001")), yes);
    }
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Picture is already within the file size limit.\r\n"
                                                  "Do you want to continue on resizing the picture?"));
    EXPECT_EQ(boxes.shown[0].style, 36);
    EXPECT_TRUE(w.txtResult->text().startsWith(QStringLiteral("SUCCESS - File squashed to 100% JPEG quality ("))) << qPrintable(w.txtResult->text());
}

TEST_F(MainWindow, FailuresAndErrorsComeBackInTheResultBox)
{
    frmMain w(boxes);
    load(w, copy("Picture_1A_by_freespace.jpg"));

    // A limit no quality meets: every try drawn, the quality-1 file kept.
    w.optSize[4]->click();
    w.txtUserSize->setText(QStringLiteral("100"));
    squash(w);
    EXPECT_TRUE(w.txtResult->text().startsWith(QStringLiteral("FAILED - Unable to squash file to the specified picture and file sizes (")))
        << qPrintable(w.txtResult->text());
    EXPECT_GE(w.ProgressBar->value(), 1000);   // 100 tries of 10 pixels, and the fit search's
    EXPECT_TRUE(QFileInfo::exists(squashed("Picture_1A_by_freespace")));
    EXPECT_TRUE(boxes.shown.empty());
    // Within reach at a smaller size: the result box and the Squashed area
    // say which; a click on the offer fills User (Pixels) and squashes.
    w.txtUserSize->setText(QStringLiteral("5000"));
    squash(w);
    ASSERT_TRUE(w.lblFit->isVisibleTo(&w));
    const auto fit = QRegularExpression(QStringLiteral("Fits at (\\d+) x (\\d+) at \\d+%: click to squash at that size")).match(w.lblFit->text());
    ASSERT_TRUE(fit.hasMatch()) << qPrintable(w.lblFit->text());
    EXPECT_TRUE(w.txtResult->text().contains(QStringLiteral("\nAt %1 x %2 it fits").arg(fit.captured(1), fit.captured(2))));
    emit w.lblFit->linkActivated(QStringLiteral("fit"));
    settle(w);
    EXPECT_TRUE(w.optResize[3]->isChecked());
    EXPECT_EQ(w.txtWidth->text() + 'x' + w.txtHeight->text(), fit.captured(1) + 'x' + fit.captured(2));
    EXPECT_TRUE(w.txtResult->text().startsWith(QStringLiteral("SUCCESS"))) << qPrintable(w.txtResult->text());
    EXPECT_LE(QFileInfo(squashed("Picture_1A_by_freespace")).size(), 5000);
    EXPECT_FALSE(w.lblFit->isVisibleTo(&w));
    // The figures of a success show without scrolling, as the thumbnail's caption.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Squashed: \\d+ KB, \\d+%, \\d+\\.\\d dB$")).match(w.lblPicture[1]->text()).hasMatch())
        << qPrintable(w.lblPicture[1]->text());

    // An empty suffix would write over the input: refused (the input kept is
    // SquashCoreTest's), in a box and in the result box.
    w.optSize[0]->click();
    w.txtSuffix->setText(QString());
    squash(w);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith(QStringLiteral("Error 75: "))) << qPrintable(boxes.shown[0].text);
    EXPECT_EQ(w.txtResult->text(), boxes.shown[0].text);
}

// The sums themselves are SquashTargets' (its own tests); here the boxes
// take digits only, feed them, and an unreadable box keeps the last estimate.
TEST_F(MainWindow, NumberBoxesTakeDigitsOnlyAndEstimatesFollow)
{
    frmMain w(boxes);
    ASSERT_TRUE(active(w));
    w.txtActualSize->setText(QStringLiteral("12345"));
    w.optSize[8]->click();
    w.txtUserSizePercent->setFocus();
    QTest::keyClicks(w.txtUserSizePercent, QStringLiteral("5x0"));
    EXPECT_EQ(w.txtUserSizePercent->text(), QStringLiteral("50"));      // typing replaced the selected text
    EXPECT_EQ(w.txtEstimatedSize->text(), QStringLiteral("6172"));
    w.txtUserSizePercent->clear();
    EXPECT_EQ(w.txtEstimatedSize->text(), QStringLiteral("6172"));      // unreadable: kept

    w.optSize[4]->click();
    w.txtUserSize->setText(QString());
    w.txtUserSize->setFocus();
    QTest::keyClicks(w.txtUserSize, QStringLiteral("0a4 -2\r"));
    EXPECT_EQ(w.txtEstimatedSize->text() + '|' + w.txtUserSize->text(), QStringLiteral("042|042"));
    QTest::keyClick(w.txtUserSize, Qt::Key_Left);
    QTest::keyClick(w.txtUserSize, Qt::Key_Backspace);
    QTest::keyClick(w.txtUserSize, Qt::Key_Home);
    // Delete as X11 sends it, with the character 0x7F.
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
    QApplication::sendEvent(w.txtUserSize, &del);
    EXPECT_EQ(w.txtUserSize->text(), QStringLiteral("2"));
    QApplication::clipboard()->setText(QStringLiteral("12x"));
    QTest::keyClick(w.txtUserSize, Qt::Key_V, Qt::ControlModifier);
    w.txtUserSize->paste();                                             // the context menu's paste
    EXPECT_EQ(w.txtUserSize->text(), QStringLiteral("2"));
    QApplication::clipboard()->setText(QStringLiteral("77"));
    w.txtUserSize->paste();
    EXPECT_EQ(w.txtUserSize->text(), QStringLiteral("772"));

    // Each side on its own: a cleared width leaves the height's estimate working.
    w.txtActualWidth->setText(QStringLiteral("1003"));
    w.txtActualHeight->setText(QStringLiteral("750"));
    w.optResize[7]->click();
    w.txtWidthPercent->setText(QStringLiteral("50"));
    w.txtWidthPercent->clear();
    w.txtHeightPercent->setText(QStringLiteral("200"));
    EXPECT_EQ(w.txtEstimatedWidth->text() + 'x' + w.txtEstimatedHeight->text(), QStringLiteral("502x1500"));
}

// What a `done` handler throws is reported instead of dropped, and the
// queue goes on.
TEST(Runner, AThrowingDoneHandlerIsReportedAndTheQueueGoesOn)
{
    Runner runner;
    QStringList reported;
    QObject::connect(&runner, &Runner::failed, [&](std::exception_ptr e) { reported << ErrorHandlers::asAppError(e).reportText(); });
    runner.add([&] {
        runner.run<int>([](const std::atomic<bool> &) { return 1; }, [](int, std::exception_ptr) { throw AppError(75, "test"); }, false);
    });
    runner.add([&] { reported << "next"; });
    settle(runner);
    EXPECT_EQ(reported, (QStringList{"Error 75: Path/File access error", "next"}));
}

// A folder that cannot be written: the folder browser offers another, and
// the squash is written there.
TEST_F(MainWindow, AFolderThatCannotBeWrittenOffersAnother)
{
    const QString locked = dir.filePath(QStringLiteral("locked")), open = dir.filePath(QStringLiteral("open"));
    QDir().mkpath(locked);
    QDir().mkpath(open);
    const QString input = copy("horse.gif", QStringLiteral("locked/horse.gif"));
    // Root writes into any folder: root runs the rest as the user nobody,
    // whose are the folders.
    const passwd *nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    if (::geteuid() == 0) {
        ASSERT_TRUE(nobody);
        for (const QString &path : {dir.path(), locked, open, input})
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(::setegid(nobody->pw_gid), 0);
        ASSERT_EQ(::seteuid(nobody->pw_uid), 0);
    }
    const auto rootAgain = qScopeGuard([nobody] {
        if (nobody && (::seteuid(0) != 0 || ::setegid(0) != 0))
            std::abort();
    });
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
    const auto unlock = qScopeGuard([&] { QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); });
    ASSERT_FALSE(QFile(locked + QStringLiteral("/probe")).open(QIODevice::WriteOnly));
    clsCommonDialogs::SetFolderChooser([&](QWidget *, const QString &, const QString &) { return open; });
    const auto restore = qScopeGuard([] { clsCommonDialogs::SetFolderChooser({}); });
    frmMain w(boxes);
    load(w, input);
    w.optSize[1]->click();
    squash(w);
    EXPECT_TRUE(w.txtResult->text().startsWith(QStringLiteral("SUCCESS"))) << qPrintable(w.txtResult->text());
    EXPECT_TRUE(QFileInfo::exists(open + QStringLiteral("/horse_squashed.jpg")));
}

// What a user meets first: readable boxes in a dark theme, no maximize
// button on a fixed-size window, a message area that scrolls whole lines, a
// Squash with no picture answered with a box.
TEST_F(MainWindow, BoxesButtonsAndTheMessageAreaWorkAsUsersExpect)
{
    QPalette dark = QApplication::palette();
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Base, Qt::black);
    const QPalette saved = QApplication::palette();
    QApplication::setPalette(dark);
    frmMain w(boxes);
    QApplication::setPalette(saved);
    for (QWidget *box : std::initializer_list<QWidget *>{w.txtFile, w.txtActualSize, w.txtEstimatedSize, w.txtActualWidth,
                                                         w.txtEstimatedHeight, w.txtResult}) {
        EXPECT_EQ(box->palette().color(QPalette::Base), QColor(255, 255, 192));
        EXPECT_EQ(box->palette().color(QPalette::Text), QColor(Qt::black));
    }
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    ASSERT_TRUE(active(w));
    // One line has no scroll bar; more lines have one, and show whole.
    w.txtResult->setText(QStringLiteral("SUCCESS - File squashed to 93% JPEG quality"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(w.txtResult->verticalScrollBar()->isVisible());
    w.txtResult->setText(QStringLiteral("1 squashed\nHORSE.GIF: SUCCESS"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.txtResult->verticalScrollBar()->isVisible());
    const QImage shown = w.txtResult->viewport()->grab().toImage();
    const QRgb base = w.txtResult->palette().color(QPalette::Base).rgb();
    for (int y = 1 + w.txtResult->fontMetrics().lineSpacing(); y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            ASSERT_EQ(shown.pixel(x, y), base) << x << "," << y;
    squash(w);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("No picture present"));
}

// A settings file that is broken, huge or out of reach never stops the
// window: defaults are used. (That a failed write leaves the file as it was
// is the Ini tests'.) Saved edges far off every screen are clamped, then
// brought back onto one.
TEST_F(MainWindow, BadSettingsFilesNeverStopTheWindow)
{
    QByteArray garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += char((i * 7919) & 0xFF);
    const QByteArray huge = "[Main]\nSuffix=" + QByteArray(99999, 'x') + "\nTopMost=" + QByteArray(100000, '9') + "\n";
    for (const QByteArray &text : {garbage, huge, QByteArray("[Form]\nX=1E30\nY=-1E30\n"), QByteArray("[Form]\nX=3E38\nY=1E39\n"),
                                   QByteArray()}) {
        if (text.isNull()) {
            QFile::remove(ini);
            QDir(dir.path()).mkdir(QStringLiteral("quillmoss.ini"));   // a folder where the file should be
        } else {
            writeIni(text);
        }
        frmMain w(boxes);
        // The first ten characters of a huge suffix; a number out of range leaves the box clear.
        EXPECT_EQ(w.txtSuffix->text(), text == huge ? QString(10, QLatin1Char('x')) : QStringLiteral("_squashed"));
        EXPECT_EQ(w.chkTopMost->state(), 0);
        EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().intersects(w.geometry())) << w.x() << "," << w.y();
        w.close();
    }
    EXPECT_TRUE(QFileInfo(ini).isDir());
    EXPECT_TRUE(boxes.shown.empty());
}

// The window takes the metadata choice from its settings file (mail when
// absent or unknown): the phone photo's position goes unless it says all,
// the camera stays unless it says none, and the result says so.
TEST_F(MainWindow, TheSettingsFilesMetadataChoiceReachesTheSquashedFile)
{
    const QString input = copy("issue70.jpg");   // a phone photo with a GPS block
    struct Case { QByteArray line; bool camera, position; };
    const Case cases[] = {
        {"", true, false}, {"Metadata=none\n", false, false}, {"Metadata=all\n", true, true}, {"Metadata=some\n", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line.constData());
        writeIni("[Main]\n" + c.line);
        frmMain w(boxes);
        load(w, input);
        w.optSize[2]->click();     // 100 KB
        w.optResize[1]->click();   // 640x480
        squash(w);
        EXPECT_EQ(w.txtResult->text().contains(QStringLiteral("; location removed")), !c.position)
            << qPrintable(w.txtResult->text());
        const Metadata written = Metadata::FromJpeg(readAll(squashed("issue70")));
        EXPECT_EQ(written.hasPosition(), c.position);
        EXPECT_EQ(!written.isEmpty(), c.camera);
        w.close();
    }
}
