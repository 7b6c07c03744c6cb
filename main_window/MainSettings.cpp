// The main window's settings, through the one table of keys.

#include "frmMain.h"

#include "ErrorHandlers.h"
#include "SettingsTable.h"
#include "WindowPosition.h"
#include "clsPathER.h"

#include <QCoreApplication>
#include <QDateTime>

using ErrorHandlers::skip;
namespace S = SettingsTable;

void frmMain::ReadSettings()
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    QString lastPath = S::readText(S::LastUsedPath);
    if (lastPath.isEmpty())
        lastPath = programFolder + clsPathER::Separator + QLatin1Char('.');
    chkAutoCommit->setState(S::readState(S::AutoProcess));
    chkTopMost->setState(S::readState(S::TopMost));
    chkDropZone->setState(S::readState(S::DropZone));
    chkTotalSize->setState(S::readState(S::TotalSize));
    txtSuffix->setText(S::readText(S::Suffix));
    m_metadata = Metadata::PolicyNamed(S::readText(S::MetadataPolicy)).value_or(Metadata::Policy::Mail);
    skip([&] {
        clsPathER path;
        path.SetFullPath(lastPath);
        m_strLastUsedPath = clsPathER::FolderExists(path.GetFullPath()) ? lastPath : programFolder;
    });
    WindowPosition::Restore(this, S::FormX, S::FormY, WindowPosition::Centred(size()));
}

void frmMain::WriteSettings()
{
    // Every key below goes to the file in one replacement.
    S::Batch batch;
    skip([&] { S::write(S::Author, QStringLiteral("tRoMbeLiX")); });
    skip([&] { S::write(S::Date, QStringLiteral("2005/10")); });
    skip([&] {
        const QDateTime now = QDateTime::currentDateTime();
        const QDate d = now.date();
        const QTime t = now.time();
        S::write(S::LastSaved, QStringLiteral("%1/%2/%3 %4:%5:%6")
                                   .arg(d.year()).arg(d.month()).arg(d.day())
                                   .arg(t.hour()).arg(t.minute()).arg(t.second()));
    });
    skip([&] { S::write(S::AutoProcess, chkAutoCommit->state()); });
    skip([&] { S::write(S::TopMost, chkTopMost->state()); });
    skip([&] { S::write(S::DropZone, chkDropZone->state()); });
    skip([&] { S::write(S::TotalSize, chkTotalSize->state()); });
    skip([&] { S::write(S::Suffix, txtSuffix->text()); });
    skip([&] { S::write(S::LastUsedPath, m_strLastUsedPath); });
    skip([&] {
        if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))
            setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    });
    WindowPosition::Save(this, S::FormX, S::FormY);
    skip([&] { batch.commit(); });
}
