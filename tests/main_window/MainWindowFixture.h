#pragma once

#include "../TestFiles.h"
#include "ScriptedBoxes.h"
#include "modINIer.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <gtest/gtest.h>

// A real drop of data on a control, as a file manager makes it.
inline bool dropData(QWidget *on, const QMimeData &data)
{
    // Sent to the widget under the pointer; the application passes it
    // up to the first that takes it, as for a real drag.
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

inline bool dropFiles(QWidget *on, const QStringList &paths, bool asText = false)
{
    QMimeData data;
    if (asText) {
        data.setText(paths.join(QLatin1Char('\n')));
    } else {
        QList<QUrl> urls;
        for (const QString &p : paths)
            urls << (p.startsWith(QLatin1String("http")) ? QUrl(p) : QUrl::fromLocalFile(p));
        data.setUrls(urls);
    }
    return dropData(on, data);
}

// Lets the window's queue of loads and squashes run to its end.
template <typename Window>
void settle(Window &w)
{
    while (w.busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

// For the long-run figures of the slow tests: measures, while the event loop runs, the longest time between two turns
// of a 5 ms timer: how long the window would stay without repaints.
class GapWatch
{
public:
    GapWatch()
    {
        QObject::connect(&ticker, &QTimer::timeout, [this] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        ticker.start(5);
        clock.start();
    }
    qint64 elapsed() const { return clock.elapsed(); }
    qint64 stop()
    {
        ticker.stop();
        return longest;
    }

private:
    QElapsedTimer clock;
    QTimer ticker;
    qint64 last = 0, longest = 0;
};

// A scratch folder with the settings file in it, and scripted message boxes.
class MainWindow : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString ini = dir.filePath(QStringLiteral("quillmoss.ini"));
    ScriptedBoxes boxes;

    void SetUp() override { modINIer::SetIniPath(ini); }
    void TearDown() override { modINIer::SetIniPath(QString()); }

    void writeIni(const QByteArray &text) { ASSERT_TRUE(writeAll(ini, text)); }
    QString copy(const char *name, const QString &as = QString())
    {
        const QString to = dir.filePath(as.isEmpty() ? QString::fromUtf8(name) : as);
        QFile::copy(corpus(name), to);
        QFile(to).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return to;
    }
    QStringList files() const
    {
        QStringList all = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        all.removeAll(QStringLiteral("quillmoss.ini"));
        return all;
    }
};

