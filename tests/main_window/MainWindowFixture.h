#pragma once

#include "TestSupport.h"
#include "ScriptedBoxes.h"
#include "modINIer.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>
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
        return copyPicture(name, dir.filePath(as.isEmpty() ? QString::fromUtf8(name) : as));
    }
    // Where a squash of dir's file base.* writes.
    QString squashed(const char *base) const { return dir.filePath(QString::fromUtf8(base) + QStringLiteral("_squashed.jpg")); }
    QStringList files() const
    {
        QStringList all = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        all.removeAll(QStringLiteral("quillmoss.ini"));
        return all;
    }
};

