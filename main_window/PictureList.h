#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The pictures that came in, in order, and what became of each. The
// window's boxes show this list; they do not store it. A batch is the run
// of pictures that came in while the window was busy, from the first after
// it was last idle.
class PictureList
{
public:
    enum class State { Queued, Loaded, NotLoaded, Squashed, Failed, Error, Stopped };

    struct Picture
    {
        QString path;             // the original
        bool squash = false;      // Auto-Commit was on when it came in
        State state = State::Queued;
        QImage preview;           // the squashed picture at the thumbnail's size
        QString outputPath;
        std::int64_t outputBytes = 0;
        int quality = 0;
        double psnr = 0;
        QSize fitSize;            // after FAILED: what would fit, if anything
        int fitQuality = 0;
        QString line;             // the result line
    };

    // Adds a picture at the end; a first one after idle starts a new batch.
    int add(const QString &path, bool squash);
    Picture &operator[](int index) { return m_pictures[std::size_t(index)]; }
    const Picture &operator[](int index) const { return m_pictures[std::size_t(index)]; }
    int size() const { return int(m_pictures.size()); }

    // The next picture starts a new batch.
    void endBatch() { m_batchStart = size(); }
    // Pictures of the running batch that are squashed as they come in, and
    // where `index` stands among them (1-based; 0 when it is not one).
    int batchSquashes() const;
    int batchPosition(int index) const;
    // Every picture of the batch still queued is marked stopped.
    void stopBatch();

    // "5 squashed, 1 FAILED", then one line a picture: its name and result.
    QString batchReport() const;

private:
    std::vector<Picture> m_pictures;
    int m_batchStart = 0;
};
