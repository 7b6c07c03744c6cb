#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QWidget>

class QLabel;

// The original and the squashed picture in one frame, the original on the
// left of a split line that the person drags, the squashed picture on its
// right, at the same size (the original scaled to the output's, as the
// squash scaled it). Fit to the window or 1:1 with panning.
class CompareView : public QWidget
{
    Q_OBJECT
public:
    explicit CompareView(QWidget *parent = nullptr);

    // Both at the same size; optionally both already reduced to the size
    // they are fitted to now (made off the window's thread).
    void setPictures(const QImage &original, const QImage &squashed, const QImage &fittedOriginal = {},
                     const QImage &fittedSquashed = {});
    // The size the pictures are drawn at when fitted to `view`.
    static QSize FittedSize(QSize picture, QSize view);
    void clear();
    bool hasPictures() const { return !m_original.isNull(); }

    // Fit to the view (true) or one picture pixel per screen pixel.
    void setFit(bool fit);
    bool fit() const { return m_fit; }
    // Where the split stands, in picture pixels from the left edge.
    double split() const { return m_split; }
    void setSplit(double x);
    // The picture pixel under a point of the view.
    QPointF toPicture(QPointF viewPoint) const;

signals:
    void zoomChanged();

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *) override;

private:
    double scale() const;
    QPointF origin() const;   // the picture's top left in the view
    double splitInView() const;
    void clampPan();

    QImage m_original, m_squashed;
    QImage m_fittedOriginal, m_fittedSquashed;   // both at the fitted size, made once per size
    bool m_fit = true;
    double m_split = 0;
    QPointF m_pan;            // 1:1: the picture point at the view's top left
    enum class Drag { None, Split, Pan } m_drag = Drag::None;
    QPointF m_dragFrom, m_panFrom;
};

// The compare window: the view, its zoom keys (F fits, 1 shows 1:1, Space
// switches) and a title with the squashed file's quality, bytes and PSNR.
// The pictures are prepared off the window's thread; only the newest
// request is shown.
class frmCompare : public QWidget
{
    Q_OBJECT
public:
    explicit frmCompare(QWidget *parent = nullptr);
    ~frmCompare() override;

    struct Request
    {
        QImage original;      // the picture as loaded
        QString squashed;     // the squashed file
        QSize size;           // the squashed picture's size
        int quality = 0;
        qint64 bytes = 0;
        double psnr = 0;
        QString name;         // the original's file name
    };
    // Shows a pair: scaling and decoding run on a worker.
    void compare(const Request &request);
    // Nothing to compare (the picture shown is not squashed yet): says why.
    void clear(const QString &why);
    // Whether the newest request's pictures are shown.
    bool ready() const;
    CompareView *view() const { return m_view; }

signals:
    void shown();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    struct Pair
    {
        QImage original, squashed;
        QImage fittedOriginal, fittedSquashed;
        QString error;
    };
    CompareView *m_view;
    QLabel *m_message;
    QFutureWatcher<Pair> *m_watcher = nullptr;
    int m_generation = 0;
    int m_shownGeneration = -1;
    QString m_title;
    QString m_help;
};
