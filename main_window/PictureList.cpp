#include "PictureList.h"

#include "ResultLines.h"

#include <QFileInfo>
#include <QStringList>

int PictureList::add(const QString &path, bool squash)
{
    Picture p;
    p.path = path;
    p.squash = squash;
    m_pictures.push_back(std::move(p));
    return size() - 1;
}

void PictureList::done(int index, SquashJob::Result result)
{
    // The written bytes are on disk; a long batch keeps the previews of its
    // last pictures only, so that its memory stays bounded.
    result.encoded = QByteArray();
    Picture &p = m_pictures[std::size_t(index)];
    p.state = State::Done;
    p.result = std::move(result);
    if (index >= KeptPreviews)
        m_pictures[std::size_t(index - KeptPreviews)].result.preview = QImage();
}

void PictureList::done(int index, SquashJob::Status status, const std::optional<AppError> &error)
{
    SquashJob::Result result;
    result.input = QFileInfo(m_pictures[std::size_t(index)].path).fileName();
    result.status = status;
    result.error = error;
    done(index, std::move(result));
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
        if (p.squash && p.state != State::Done)
            done(i, SquashJob::Status::Cancelled);
    }
}

QString PictureList::batchReport() const
{
    using SquashJob::Status;
    int squashed = 0, failed = 0, stopped = 0, other = 0;
    QStringList lines;
    for (int i = m_batchStart; i < size(); ++i) {
        const Picture &p = m_pictures[std::size_t(i)];
        if (p.state != State::Done)
            continue;   // shown, not squashed
        switch (p.result.status) {
        case Status::Squashed: ++squashed; break;
        case Status::Failed: ++failed; break;
        case Status::Cancelled: ++stopped; break;
        case Status::NotSquashed:
        case Status::LoadFailed:
        case Status::Error: ++other; break;
        }
        lines << ResultLines::ShortLine(p.result);
    }
    QStringList sums{QStringLiteral("%1 squashed").arg(squashed)};
    if (failed)
        sums << QStringLiteral("%1 FAILED").arg(failed);
    if (other)
        sums << QStringLiteral("%1 not squashed").arg(other);
    if (stopped)
        sums << QStringLiteral("%1 stopped").arg(stopped);
    return sums.join(QStringLiteral(", ")) + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
}
