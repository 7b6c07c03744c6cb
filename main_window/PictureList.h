#pragma once

#include "SquashJob.h"

#include <QString>
#include <vector>

// The pictures that came in, in order, and what became of each: its
// original's path and, once squashed, the job's result (preview, output
// bytes, quality, PSNR). The window's boxes show this list;
// they do not store it. A batch is the run of pictures that came in from
// the first after the window was last idle.
class PictureList
{
public:
    enum class State { Queued, Loaded, Done };

    struct Picture
    {
        QString path;
        bool squash = false;      // Auto-Commit was on when it came in
        State state = State::Queued;
        SquashJob::Result result; // once Done
    };

    // Adds a picture at the end of the running batch.
    int add(const QString &path, bool squash);
    Picture &operator[](int index) { return m_pictures[std::size_t(index)]; }
    const Picture &operator[](int index) const { return m_pictures[std::size_t(index)]; }
    int size() const { return int(m_pictures.size()); }

    // How many of the latest pictures keep their preview.
    static constexpr int KeptPreviews = 32;

    // Records what became of a picture: the job's result, or an outcome
    // without one (a load that failed, a squash stopped or refused).
    void done(int index, SquashJob::Result result);
    void done(int index, SquashJob::Status status, const std::optional<AppError> &error = {});

    // The next picture starts a new batch.
    void endBatch() { m_batchStart = size(); }
    // Pictures of the running batch squashed as they come in, and where
    // `index` stands among them (from 1; 0 when it is not one of them).
    int batchSquashes() const;
    int batchPosition(int index) const;
    // Every picture of the batch that was to be squashed and is not yet is
    // marked cancelled.
    void stopBatch();

    // "5 squashed, 1 FAILED", then each picture's name and result, a line each.
    QString batchReport() const;

private:
    std::vector<Picture> m_pictures;
    int m_batchStart = 0;
};
