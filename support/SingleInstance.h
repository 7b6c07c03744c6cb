#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One running program per user and installation: a second start hands its
// files to the first through a local socket and ends, instead of opening a
// second window that would fight over the settings file.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject *parent = nullptr);

    // A name for this user and this executable.
    static QString defaultName();

    // Gives the files to a running instance. False when none answers.
    bool handOver(const QStringList &paths, int timeoutMs = 2000) const;
    // Waits for later starts. False when the name cannot be taken.
    bool listen();

signals:
    // A later start's files (none: it only asked to be shown).
    void filesReceived(const QStringList &paths);

private:
    QString m_name;
    QLocalServer *m_server = nullptr;
};
