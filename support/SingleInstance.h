#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One running program per user and installation: a second start hands its
// files to the first through a local socket and ends, instead of opening a
// second window that would fight over the settings file. The socket lives in
// a folder only this user can enter, and both ends check that the other one
// runs as the same user.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject *parent = nullptr);

    // The socket's path for this user and this executable: in the user's
    // runtime folder ($XDG_RUNTIME_DIR) when it is the user's own and closed
    // to others, otherwise in a folder of the user's own (mode 0700) made in
    // the temporary folder. Empty when no such folder can be had.
    static QString defaultName();

    // Gives the files to a running instance of the same user. True only when
    // that instance confirmed it took them; false otherwise (none answers, or
    // the socket belongs to someone else).
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
