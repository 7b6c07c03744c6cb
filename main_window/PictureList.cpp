#include "PictureList.h"

#include <QFileInfo>

int PictureList::add(const QString &path, bool squash)
{
    Picture p;
    p.path = path;
    p.squash = squash;
    m_pictures.push_back(std::move(p));
    return size() - 1;
}

int PictureList::batchSquashes() const
{
    int n = 0;
    for (int i = m_batchStart; i < size(); ++i)
        n += m_pictures[std::size_t(i)].squash;
    return n;
}

int PictureList::batchPosition(int index) const
{
    if (index < m_batchStart || index >= size() || !m_pictures[std::size_t(index)].squash)
        return 0;
    int n = 0;
    for (int i = m_batchStart; i <= index; ++i)
        n += m_pictures[std::size_t(i)].squash;
    return n;
}

void PictureList::stopBatch()
{
    for (int i = m_batchStart; i < size(); ++i) {
        Picture &p = m_pictures[std::size_t(i)];
        if (p.squash && (p.state == State::Queued || p.state == State::Loaded)) {
            p.state = State::Stopped;
            p.line = QStringLiteral("stopped: nothing was written");
        }
    }
}

QString PictureList::batchReport() const
{
    int squashed = 0, failed = 0, stopped = 0, errors = 0;
    QStringList lines;
    for (int i = m_batchStart; i < size(); ++i) {
        const Picture &p = m_pictures[std::size_t(i)];
        switch (p.state) {
        case State::Squashed: ++squashed; break;
        case State::Failed: ++failed; break;
        case State::Stopped: ++stopped; break;
        case State::NotLoaded:
        case State::Error: ++errors; break;
        case State::Queued:
        case State::Loaded: continue;   // shown, not squashed
        }
        lines << QFileInfo(p.path).fileName() + QStringLiteral(": ") + p.line;
    }
    QStringList sums{QStringLiteral("%1 squashed").arg(squashed)};
    if (failed)
        sums << QStringLiteral("%1 FAILED").arg(failed);
    if (errors)
        sums << QStringLiteral("%1 not squashed").arg(errors);
    if (stopped)
        sums << QStringLiteral("%1 stopped").arg(stopped);
    return sums.join(QStringLiteral(", ")) + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
}
