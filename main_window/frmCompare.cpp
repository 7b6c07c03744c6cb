#include "frmCompare.h"

#include "ErrorHandlers.h"
#include "Picture.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// How near the split line (in screen pixels) a press takes hold of it.
constexpr double Grip = 8;

} // namespace

CompareView::CompareView(QWidget *parent) : QWidget(parent)
{
    setMinimumSize(200, 150);
    setFocusPolicy(Qt::NoFocus);
}

QSize CompareView::FittedSize(QSize picture, QSize view)
{
    return picture.scaled(view, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

void CompareView::setPictures(const QImage &original, const QImage &squashed, const QImage &fittedOriginal,
                              const QImage &fittedSquashed)
{
    // Following the next picture of the same size keeps the split and the place.
    const bool sameSize = original.size() == m_original.size();
    m_original = original;
    m_squashed = squashed;
    m_fittedOriginal = fittedOriginal;
    m_fittedSquashed = fittedSquashed;
    if (!sameSize) {
        m_split = original.width() / 2.0;
        m_pan = QPointF(original.width() - width(), original.height() - height()) / 2;
    }
    clampPan();
    update();
}

void CompareView::clear()
{
    m_original = m_squashed = m_fittedOriginal = m_fittedSquashed = QImage();
    update();
}

void CompareView::setFit(bool fit)
{
    if (fit == m_fit)
        return;
    // 1:1 opens on the part around the split line.
    if (!fit && hasPictures())
        m_pan = QPointF(m_split - width() / 2.0, (m_original.height() - height()) / 2.0);
    m_fit = fit;
    clampPan();
    update();
    emit zoomChanged();
}

void CompareView::setSplit(double x)
{
    m_split = std::clamp(x, 0.0, double(m_original.width()));
    update();
}

double CompareView::scale() const
{
    if (!m_fit || !hasPictures())
        return 1;
    return std::min(double(width()) / m_original.width(), double(height()) / m_original.height());
}

QPointF CompareView::origin() const
{
    const double s = scale();
    const double w = m_original.width() * s, h = m_original.height() * s;
    // Centred where it is smaller than the view, panned where it is larger.
    return {w <= width() ? (width() - w) / 2 : -m_pan.x(), h <= height() ? (height() - h) / 2 : -m_pan.y()};
}

QPointF CompareView::toPicture(QPointF viewPoint) const { return (viewPoint - origin()) / scale(); }

double CompareView::splitInView() const { return origin().x() + m_split * scale(); }

void CompareView::clampPan()
{
    const double maxX = std::max(0.0, m_original.width() * scale() - width());
    const double maxY = std::max(0.0, m_original.height() * scale() - height());
    m_pan = QPointF(std::clamp(m_pan.x(), 0.0, maxX), std::clamp(m_pan.y(), 0.0, maxY));
}

void CompareView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(48, 48, 48));
    if (!hasPictures())
        return;
    const double s = scale();
    const QRectF target(origin(), QSizeF(m_original.size()) * s);
    const double x = splitInView();
    // Reduced once for the size shown, not at every move of the line.
    const bool reduced = s < 1;
    const QSize fitted = FittedSize(m_original.size(), size());
    if (reduced && m_fittedOriginal.size() != fitted) {
        m_fittedOriginal = m_original.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_fittedSquashed = m_squashed.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    p.save();
    p.setClipRect(QRectF(target.left(), target.top(), x - target.left(), target.height()));
    p.drawImage(target, reduced ? m_fittedOriginal : m_original);
    p.setClipRect(QRectF(x, target.top(), target.right() - x, target.height()));
    p.drawImage(target, reduced ? m_fittedSquashed : m_squashed);
    p.restore();

    const double top = std::max(0.0, target.top()), bottom = std::min(double(height()), target.bottom());
    p.setPen(QPen(QColor(0, 0, 0, 160), 3));
    p.drawLine(QPointF(x, top), QPointF(x, bottom));
    p.setPen(QPen(Qt::white, 1));
    p.drawLine(QPointF(x, top), QPointF(x, bottom));
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(x, (top + bottom) / 2), 5, 5);

    // Which side is which, at the top corners of the view.
    const auto label = [&](const QString &text, bool right) {
        const QRect box = p.fontMetrics().boundingRect(text).adjusted(-4, -2, 4, 2);
        const QRect at(right ? width() - box.width() - 6 : 6, 6, box.width(), box.height());
        p.fillRect(at, QColor(0, 0, 0, 150));
        p.setPen(Qt::white);
        p.drawText(at, Qt::AlignCenter, text);
    };
    label(tr("Original"), false);
    label(tr("Squashed"), true);
}

void CompareView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !hasPictures())
        return;
    const QPointF at = event->position();
    m_dragFrom = at;
    m_panFrom = m_pan;
    // Fitted, a press anywhere takes the line there; at 1:1 only on the
    // line, elsewhere it pans.
    if (m_fit || std::abs(at.x() - splitInView()) <= Grip) {
        m_drag = Drag::Split;
        setSplit(toPicture(at).x());
        setCursor(Qt::SplitHCursor);
    } else {
        m_drag = Drag::Pan;
        setCursor(Qt::ClosedHandCursor);
    }
}

void CompareView::mouseMoveEvent(QMouseEvent *event)
{
    if (m_drag == Drag::Split) {
        setSplit(toPicture(event->position()).x());
    } else if (m_drag == Drag::Pan) {
        m_pan = m_panFrom - (event->position() - m_dragFrom);
        clampPan();
        update();
    }
}

void CompareView::mouseReleaseEvent(QMouseEvent *)
{
    m_drag = Drag::None;
    unsetCursor();
}

void CompareView::resizeEvent(QResizeEvent *)
{
    clampPan();
}

frmCompare::frmCompare(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(tr("Compare"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_view = new CompareView(this);
    m_message = new QLabel(this);
    m_message->setContentsMargins(6, 3, 6, 3);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_message);
    m_help = tr("Drag the line to compare. F: fit to the window, 1: actual pixels (drag to pan), Space: switch");
    m_message->setText(m_help);
    const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableSize() : QSize(1024, 768);
    resize(std::min(1024, screen.width() * 4 / 5), std::min(768, screen.height() * 4 / 5));
    connect(m_view, &CompareView::zoomChanged, this, [this] {
        setWindowTitle(m_title + (m_view->fit() ? QString() : tr(" (1:1)")));
    });
}

frmCompare::~frmCompare() = default;

void frmCompare::compare(const Request &request)
{
    const int generation = ++m_generation;
    m_title = tr("Compare - %1: %2% JPEG quality, %3 bytes, PSNR %4 dB")
                  .arg(request.name)
                  .arg(request.quality)
                  .arg(request.bytes)
                  .arg(request.psnr, 0, 'f', 1);
    setWindowTitle(m_title + (m_view->fit() ? QString() : tr(" (1:1)")));
    // Each request has its own watcher; an older one still running is
    // left to finish unseen.
    auto *watcher = new QFutureWatcher<Pair>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        const Pair pair = watcher->result();
        watcher->deleteLater();
        if (generation != m_generation)
            return;
        m_shownGeneration = generation;
        if (pair.error.isEmpty()) {
            m_view->setPictures(pair.original, pair.squashed, pair.fittedOriginal, pair.fittedSquashed);
            m_message->setText(m_help);
        } else {
            m_view->clear();
            m_message->setText(pair.error);
        }
        emit shown();
    });
    const QSize box = m_view->size();
    watcher->setFuture(QtConcurrent::run([request, box]() -> Pair {
        Pair pair;
        try {
            const QSize size = request.size;
            pair.original = request.original.size() == size
                                ? request.original
                                : Picture::StretchPicture(request.original, size.width(), size.height());
            pair.squashed = Picture::LoadPicture(request.squashed);
            if (pair.squashed.size() != size)
                pair.squashed = pair.squashed.scaled(size);
            // The view opens fitted: its first drawing needs no reduction here.
            const QSize fitted = CompareView::FittedSize(size, box);
            if (fitted.width() < size.width()) {
                pair.fittedOriginal = pair.original.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
                pair.fittedSquashed = pair.squashed.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            }
        } catch (...) {
            pair.error = ErrorHandlers::asAppError(std::current_exception()).reportText();
        }
        return pair;
    }));
}

void frmCompare::clear(const QString &why)
{
    m_shownGeneration = ++m_generation;
    m_title = tr("Compare");
    setWindowTitle(m_title);
    m_view->clear();
    m_message->setText(why);
}

bool frmCompare::ready() const { return m_shownGeneration == m_generation; }

void frmCompare::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_F: m_view->setFit(true); break;
    case Qt::Key_1: m_view->setFit(false); break;
    case Qt::Key_Space: m_view->setFit(!m_view->fit()); break;
    case Qt::Key_Escape: close(); break;
    default: QWidget::keyPressEvent(event);
    }
}
