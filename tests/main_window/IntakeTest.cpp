#include "ImageBox.h"
#include "MainWindowFixture.h"
#include "clsCommonDialogs.h"
#include "frmMain.h"
#include "frmPicture.h"

#include <QApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QScreen>
#include <QTimer>
#include <QUrl>

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
        QObject::connect(w.txtResult, &QLineEdit::textChanged, [this](const QString &t) { results << t; });
    }
    QString squashed(const char *base) const { return dir.filePath(QString::fromUtf8(base) + QStringLiteral("_squashed.jpg")); }
};

} // namespace

TEST_F(Intake, TheOpenDialogLoadsOneFileOrSquashesSeveralInOrder)
{
    const QString a = copy("horse.gif", QStringLiteral("a.gif"));
    const QString b = copy("video-001.bmp", QStringLiteral("b.bmp"));
    const QString c = copy("horse.bmp", QStringLiteral("c.bmp"));
    frmMain w(boxes);
    watch(w);
    const QString start = w.m_strLastUsedPath;

    picked.reset();   // cancel: nothing changes
    w.cmdOpen->click();
    EXPECT_EQ(w.m_strLastUsedPath, start);
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_EQ(asked.title, QStringLiteral("Select file(s) to open"));
    EXPECT_TRUE(asked.multiple);

    picked = QStringList{a};
    w.cmdOpen->click();
    EXPECT_EQ(w.txtFile->text(), a);
    EXPECT_EQ(w.m_strLastUsedPath, dir.path() + QStringLiteral("/."));
    EXPECT_EQ(w.chkAutoCommit->state(), 0);
    EXPECT_EQ(w.txtActualWidth->text(), QStringLiteral("200"));
    EXPECT_FALSE(QFileInfo::exists(squashed("a")));

    loaded.clear();
    picked = QStringList{c, a, b};   // the dialog's order
    w.cmdOpen->click();
    EXPECT_EQ(asked.folder, dir.path());
    EXPECT_EQ(w.chkAutoCommit->state(), 1);
    EXPECT_EQ(loaded, (QStringList{c, a, b}));
    for (const char *base : {"a", "b", "c"})
        EXPECT_TRUE(QFileInfo::exists(squashed(base))) << base;
    EXPECT_EQ(w.m_strLastUsedPath, dir.path() + QStringLiteral("/."));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Intake, FilesAtTheRootAreJoinedToTheFolderAsTheyCome)
{
    frmMain w(boxes);
    watch(w);
    picked = QStringList{QStringLiteral("/no-such-a.gif"), QStringLiteral("/no-such-b.gif")};
    w.cmdOpen->click();
    // "/" and the separator: a doubled one, which the system reads as one.
    EXPECT_EQ(loaded, (QStringList{QStringLiteral("//no-such-a.gif"), QStringLiteral("//no-such-b.gif")}));
    ASSERT_EQ(boxes.shown.size(), 2u);   // each fails to load, and the batch goes on
    EXPECT_EQ(boxes.shown[1].title, QStringLiteral("Invalid Picture"));
    EXPECT_EQ(boxes.shown[1].style, 16);
}

TEST_F(Intake, DropsLoadOneOrSquashMany)
{
    const QString a = copy("horse.gif", QStringLiteral("a.gif"));
    const QString b = copy("video-001.jpeg", QStringLiteral("b.jpeg"));
    const QString c = copy("horse.bmp", QStringLiteral("c.bmp"));
    const QString notes = dir.filePath(QStringLiteral("notes.jpg"));
    QFile f(notes);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a picture");
    f.close();
    frmMain w(boxes);
    watch(w);

    EXPECT_FALSE(dropFiles(w.chkTopMost, {a}));
    EXPECT_FALSE(dropFiles(w.chkAutoCommit, {a}, true));           // text, no files
    EXPECT_FALSE(dropFiles(w.fraFileDetails, {QStringLiteral("https://example.org/x.jpg")}));
    EXPECT_TRUE(loaded.isEmpty());

    EXPECT_TRUE(dropFiles(w.fraFileDetails, {a}));
    EXPECT_EQ(w.txtFile->text(), a);
    EXPECT_EQ(w.chkAutoCommit->state(), 0);
    EXPECT_FALSE(QFileInfo::exists(squashed("a")));

    loaded.clear();
    EXPECT_TRUE(dropFiles(w.txtSuffix, {b, notes, c}));
    EXPECT_EQ(w.chkAutoCommit->state(), 1);
    EXPECT_EQ(loaded, (QStringList{b, c}));                   // the non-picture never reaches txtFile
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Unable to load the picture, it needs to be in GIF, JPEG, or BMP format"));
    EXPECT_TRUE(QFileInfo::exists(squashed("b")));
    EXPECT_TRUE(QFileInfo::exists(squashed("c")));
    EXPECT_FALSE(QFileInfo::exists(squashed("notes")));
}

TEST_F(Intake, ADropDuringABatchIsQueuedAndFollowsInOrder)
{
    const QString a = copy("Picture_1A_by_freespace.jpg", QStringLiteral("a.jpg"));
    const QString b = copy("GreenMeadow.jpg", QStringLiteral("b.jpg"));
    const QString c = copy("horse.gif", QStringLiteral("c.gif"));
    frmMain w(boxes);
    watch(w);
    w.optSize[2]->click();
    bool dropped = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!dropped && w.squashing()) {
            dropped = true;
            EXPECT_TRUE(dropFiles(w.cmdOpen, {c}));
            EXPECT_TRUE(w.squashing());   // nothing ran nested
        }
    });
    poll.start(1);
    EXPECT_TRUE(dropFiles(w.txtFile, {a, b}));
    poll.stop();
    ASSERT_TRUE(dropped);
    EXPECT_EQ(loaded, (QStringList{a, b, c}));
    EXPECT_TRUE(results.filter(QStringLiteral("(1 more queued)")).size() > 0) << qPrintable(results.join('|'));
    for (const char *base : {"a", "b", "c"})
        EXPECT_LE(QFileInfo(squashed(base)).size(), 102400) << base;
    EXPECT_FALSE(w.batchRunning());
}

TEST_F(Intake, TheViewerShowsEitherPictureAtItsOwnSize)
{
    frmMain w(boxes);
    w.imgPicture_Click();
    w.imgSquashed_Click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("No picture has been loaded"));
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Picture Missing"));
    EXPECT_EQ(boxes.shown[1].text, QStringLiteral("The Squashed picture does not exist"));
    EXPECT_EQ(w.viewer(), nullptr);

    const QString input = dir.filePath(QStringLiteral("wide.bmp"));
    QImage(1024, 768, QImage::Format_RGB32).save(input);
    w.LoadFilePicture(input);
    w.optResize[1]->click();
    w.cmdSquash_Click();
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
    const QSize room = w.viewer()->screen()->availableGeometry().size() - QSize(16, 48);
    EXPECT_EQ(inner, QSize(1024, 768).boundedTo(room));   // with scroll bars on a small screen
    EXPECT_EQ(w.viewer()->windowTitle(), QStringLiteral("Picture"));

    inspect();
    w.imgSquashed_Click();
    EXPECT_EQ(inner, QSize(640, 480));
    EXPECT_EQ(content, QSize(640, 480));

    // Sized by the file it shows, not by the target fields of a later
    // squash that ended before writing.
    w.m_sngNewWidth = 800;
    w.m_sngNewHeight = 600;
    inspect();
    w.imgSquashed_Click();
    EXPECT_EQ(inner, QSize(640, 480));

    boxes.shown.clear();
    QFile::remove(w.m_strSquashedFile);
    w.imgSquashed_Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("The Squashed picture does not exist"));
    EXPECT_FALSE(w.imgSquashed->hasPicture());
}
