#pragma once

#include "TestSupport.h"
#include "MessageBoxes.h"
#include "clsCommonDialogs.h"
#include "frmMain.h"
#include "modINIer.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <gtest/gtest.h>
#include <vector>

// Records every message box and answers from a queue (OK, or No for a
// question, when the queue is empty).
class ScriptedBoxes : public MessageBoxes
{
public:
    struct Shown { QString text; int style; QString title; };
    std::vector<Shown> shown;
    std::deque<int> answers;

    int show(const QString &text, int style, const QString &title) override
    {
        shown.push_back({text, style, title.isEmpty() ? applicationTitle() : title});
        if (answers.empty())
            return style == YesNoQuestion ? No : Ok;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// A real drop of files (or of their names as text) on a control, as a file
// manager makes it: sent to the widget under the pointer, which passes it up
// to the first that takes it.
inline bool dropFiles(QWidget *on, const QStringList &paths, bool asText = false)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &p : paths)
        urls << (p.startsWith(QLatin1String("http")) ? QUrl(p) : QUrl::fromLocalFile(p));
    if (asText)
        data.setText(paths.join(QLatin1Char('\n')));
    else
        data.setUrls(urls);
    const QPoint at = on->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(on, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    dropped.ignore();
    QApplication::sendEvent(on, &dropped);
    return dropped.isAccepted();
}

// Lets the window's queue of loads and squashes run to its end.
template <typename Window>
void settle(Window &w)
{
    while (w.busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

// A scratch folder with the settings file in it, scripted message boxes and
// an open dialog that picks `picked` (nothing: a cancel).
class MainWindow : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString ini = dir.filePath(QStringLiteral("quillmoss.ini"));
    ScriptedBoxes boxes;
    std::optional<QStringList> picked;
    clsCommonDialogs::FileRequest asked;
    QStringList loaded;   // the window's file box, each time it changes

    void SetUp() override
    {
        modINIer::SetIniPath(ini);
        clsCommonDialogs::SetFileChooser([this](const auto &r) { asked = r; return picked; });
    }
    void TearDown() override
    {
        clsCommonDialogs::SetFileChooser({});
        modINIer::SetIniPath(QString());
    }
    void watch(QLineEdit *file)
    {
        QObject::connect(file, &QLineEdit::textChanged, [this](const QString &t) { loaded << t; });
    }
    // Loads one picture, picks `paths` in the open dialog (nothing: a cancel)
    // or squashes the picture loaded, and waits for the end.
    static void load(frmMain &w, const QString &path) { w.LoadFilePicture(path); settle(w); }
    void open(frmMain &w, const std::optional<QStringList> &paths) { picked = paths; w.cmdOpen->click(); settle(w); }
    static void squash(frmMain &w) { w.cmdSquash_Click(); settle(w); }
    // Shows the window and waits until it has the keyboard.
    static bool active(QWidget &w)
    {
        w.show();
        w.activateWindow();
        return QTest::qWaitForWindowActive(&w);
    }
    void writeIni(const QByteArray &text) { ASSERT_TRUE(writeAll(ini, text)); }
    QString copy(const char *name, const QString &as = QString())
    {
        return copyPicture(name, dir.filePath(as.isEmpty() ? QString::fromUtf8(name) : as));
    }
    // Where a squash of dir's file base.* writes.
    QString squashed(const char *base) const { return dir.filePath(QString::fromUtf8(base) + QStringLiteral("_squashed.jpg")); }
};
