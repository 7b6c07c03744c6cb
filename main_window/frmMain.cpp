#include "frmMain.h"

#include "AppError.h"
#include "ErrorHandlers.h"
#include "FileNames.h"
#include "ImageBox.h"
#include "mIntelJPEGLibrary.h"
#include "Numbers.h"
#include "Picture.h"
#include "ProgressSurface.h"
#include "ResultLines.h"
#include "OptionTargets.h"
#include "clsCommonDialogs.h"
#include "clsPathER.h"
#include "frmDropZone.h"
#include "frmCompare.h"
#include "frmPicture.h"
#include "modTopMost.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

using ErrorHandlers::skip;

QString frmMain::Caption()
{
    return QStringLiteral("Quillmoss %1.%2 - bY tRoMbeLiX").arg(QUILLMOSS_VERSION_MAJOR).arg(QUILLMOSS_VERSION_MINOR);
}

frmMain::frmMain(MessageBoxes &boxes, QWidget *parent) : QWidget(parent), m_boxes(boxes)
{
    navigator = [](const QString &target) { QDesktopServices::openUrl(QUrl(target)); };
    buildControls();

    // Handlers
    connect(optSizeGroup, &QButtonGroup::idClicked, this, [this](int id) { optSize_Click(std::int16_t(id)); });
    connect(optResizeGroup, &QButtonGroup::idClicked, this, [this](int id) { optResize_Click(std::int16_t(id)); });
    connect(txtUserSize, &QLineEdit::textChanged, this, [this] { if (m_intSizeOption == 4) optSize_Click(4); });
    connect(txtUserSizePercent, &QLineEdit::textChanged, this, [this] { if (m_intSizeOption == 8) optSize_Click(8); });
    for (QLineEdit *box : {txtWidth, txtHeight})
        connect(box, &QLineEdit::textChanged, this, [this] { if (m_intResizeOption == 3) optResize_Click(3); });
    for (QLineEdit *box : {txtWidthPercent, txtHeightPercent})
        connect(box, &QLineEdit::textChanged, this, [this] { if (m_intResizeOption == 7) optResize_Click(7); });
    connect(chkTopMost, &QCheckBox::stateChanged, this, [this] { chkTopMost_Click(); });
    connect(chkDropZone, &QCheckBox::stateChanged, this, [this] { chkDropZone_Click(); });
    connect(&m_runner, &Runner::busyChanged, this, [this](bool busy) {
        // Disabling the focused Squash button hands the focus on to the next
        // box (Real Size): it goes back where it was when the work is done.
        if (busy)
            m_focusBeforeBusy = focusWidget();
        cmdSquash->setEnabled(!busy);
        if (busy)
            return;
        if (m_focusBeforeBusy)
            m_focusBeforeBusy->setFocus();
        batchEnded();
        if (m_closeWhenDone)
            close();
    });
    // A step or handler that failed past its own report still shows.
    connect(&m_runner, &Runner::failed, this, [this](std::exception_ptr error) {
        squashFailed(-1, ErrorHandlers::asAppError(error));
    });
    connect(lblFit, &QLabel::linkActivated, this, [this] { squashAtFit(); });
    connect(cmdSquash, &QPushButton::clicked, this, [this] { cmdSquash_Click(); });
    connect(cmdOpen, &QPushButton::clicked, this, [this] { cmdOpen_Click(); });
    connect(imgPicture, &ImageBox::clicked, this, [this] { imgPicture_Click(); });
    connect(imgSquashed, &ImageBox::clicked, this, [this] { imgSquashed_Click(); });
    auto *compare = new QAction(QStringLiteral("Compare with the original"), this);
    compare->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    compare->setShortcutContext(Qt::WindowShortcut);
    addAction(compare);
    connect(compare, &QAction::triggered, this, [this] { openCompare(); });
    imgSquashed->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(imgSquashed, &QWidget::customContextMenuRequested, this, [this, compare](const QPoint &at) {
        QMenu menu(this);
        menu.addAction(compare);
        menu.addAction(QStringLiteral("Open at full size"), this, [this] { imgSquashed_Click(); });
        menu.exec(imgSquashed->mapToGlobal(at));
    });
    for (QWidget *target : std::initializer_list<QWidget *>{fraFileDetails, txtFile, cmdOpen, chkAutoCommit, chkDropZone,
                                                            lbSuffix, txtSuffix}) {
        target->setAcceptDrops(true);
        target->installEventFilter(this);
    }

    connect(lbEmail, &QLabel::linkActivated, this, [this] {
        Navigate(QStringLiteral("mailto:") + EmailAddress() + QStringLiteral("?subject=Quillmoss"));
    });
    m_prefetchPool.setMaxThreadCount(1);
    Form_Load();
}

frmMain::~frmMain()
{
    dropPrefetch();
}

void frmMain::Form_Load()
{
    ErrorHandlers::report(m_boxes, [this] {
        setWindowTitle(Caption());
        optSize_Click(0);
        optResize_Click(0);
        ReadSettings();
        // Probe the encoder once, so that a broken one shows at start-up.
        mIntelJPEGLibrary::Encoder();
        ProgressBar = std::make_unique<clsProgressBar>();
        ProgressBar->BackColor(16777215);
        ProgressBar->ForeColor(16711680);
        ProgressBar->InitProgress(*picScrollBar);
        m_intSizeOption = 0;
        m_intResizeOption = 0;
    });
}

void frmMain::Form_Unload()
{
    ErrorHandlers::report(m_boxes, [this] {
        WriteSettings();
        // After the settings: a zone open now opens again at the next start.
        if (m_dropZone && m_dropZone->isVisible())
            m_dropZone->close();
    });
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (m_runner.busy()) {
        // A load is given up at once; a squash stops between two tries and
        // writes nothing. The window closes when the queue is idle.
        m_closeWhenDone = true;
        stop();
        if (m_runner.busy()) {
            event->ignore();
            return;
        }
    }
    Form_Unload();
    event->accept();
}

void frmMain::chkTopMost_Click()
{
    skip([&] { SetTopMost(this, chkTopMost->state() != 0); });
}

void frmMain::chkDropZone_Click()
{
    skip([&] {
        if (chkDropZone->state() == 1) {
            if (!m_dropZone) {
                frmDropZone::Owner owner;
                owner.mainWindow = this;
                owner.LoadFileAfterDragging = [this](const QMimeData *Data, std::int16_t &IndexCount) {
                    LoadFileAfterDragging(Data, IndexCount);
                };
                owner.clearCheckBox = [this] { chkDropZone->setState(0); };
                m_dropZone = std::make_unique<frmDropZone>(owner, m_boxes);
            }
            m_dropZone->show();
        } else if (m_dropZone && m_dropZone->isVisible()) {
            m_dropZone->close();
        }
    });
}

void frmMain::LoadFiles(const QStringList &paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << FileNames::toUrl(FileNames::absolutePath(path));
    data.setUrls(urls);
    std::int16_t IndexCount = std::int16_t(std::min<qsizetype>(urls.size(), 32767));
    LoadFileAfterDragging(&data, IndexCount);
}

void frmMain::Navigate(const QString &NavTo)
{
    skip([&] {
        if (navigator)
            navigator(NavTo);
    });
}

void frmMain::setInputBox(QLineEdit *box, bool enabled)
{
    box->setEnabled(enabled);
    QPalette palette = box->palette();
    const QPalette system = QApplication::palette();
    palette.setColor(QPalette::All, QPalette::Base, system.color(enabled ? QPalette::Base : QPalette::Button));
    box->setPalette(palette);
}

void frmMain::optSize_Click(std::int16_t Index)
{
    m_intSizeOption = Index;
    setInputBox(txtUserSize, Index == 4);
    setInputBox(txtUserSizePercent, Index == 8);
    skip([&] {
        if (const auto text = OptionTargets::EstimatedFileSize(Index, txtActualSize->text(), txtUserSize->text(),
                                                  txtUserSizePercent->text()))
            txtEstimatedSize->setText(*text);
    });
}

void frmMain::optResize_Click(std::int16_t Index)
{
    m_intResizeOption = Index;
    setInputBox(txtWidth, Index == 3);
    setInputBox(txtHeight, Index == 3);
    setInputBox(txtWidthPercent, Index == 7);
    setInputBox(txtHeightPercent, Index == 7);
    // Width and height are separate statements: one side that cannot be
    // read leaves only its own estimate as it was.
    skip([&] {
        if (const auto text = OptionTargets::EstimatedSide(Index, 0, txtActualWidth->text(), txtWidth->text(),
                                                     txtWidthPercent->text()))
            txtEstimatedWidth->setText(*text);
    });
    skip([&] {
        if (const auto text = OptionTargets::EstimatedSide(Index, 1, txtActualHeight->text(), txtHeight->text(),
                                                     txtHeightPercent->text()))
            txtEstimatedHeight->setText(*text);
    });
}

void frmMain::refreshEstimates()
{
    optSize_Click(m_intSizeOption);
    optResize_Click(m_intResizeOption);
}

void frmMain::cmdOpen_Click()
{
    ErrorHandlers::report(m_boxes, [this] {
        clsCommonDialogs dialog;
        dialog.DialogTitle(QStringLiteral("Select file(s) to open"));
        dialog.CancelError(false);
        dialog.hOwner(this);
        dialog.flags(2628096);
        // "*.jpg" brings "*.jpeg" along.
        dialog.Filter(QStringLiteral("All supported files (JPG, GIF, BMP, PNG, WebP, TIFF, HEIC)|"
                                     "*.jpg;*.gif;*.bmp;*.png;*.webp;*.tif;*.tiff;*.heic;*.heif|"
                                     "JPG|*.jpg|GIF|*.gif|BMP|*.bmp|PNG|*.png|WebP|*.webp|TIFF|*.tif;*.tiff|"
                                     "HEIC|*.heic;*.heif|All files|*.*"));
        dialog.FilterIndex(1);
        dialog.FileName(m_strLastUsedPath);
        dialog.ShowOpen();
        const QString chosen = dialog.FileName();
        if (chosen == m_strLastUsedPath)
            return;   // cancelled
        QStringList parts = chosen.split(QChar(0));
        const qsizetype empty = parts.count(QString());
        parts.resize(parts.size() - empty);
        QStringList paths;
        if (parts.size() > 1) {
            // Several files: the next dialog starts in the folder they came from.
            m_strLastUsedPath = parts[0] + clsPathER::Separator + QLatin1Char('.');
            chkAutoCommit->setState(1);
            for (qsizetype i = 1; i < parts.size(); ++i)
                paths << parts[0] + clsPathER::Separator + parts[i];
        } else {
            clsPathER path;
            path.SetFullPath(chosen);
            m_strLastUsedPath = path.GetPath() + clsPathER::Separator + QLatin1Char('.');
            paths << chosen;
        }
        // Names typed in the dialog that lead nowhere are named, not dropped.
        QStringList missing;
        paths.removeIf([&](const QString &path) {
            if (clsPathER::FileExists(path))
                return false;
            missing << path;
            return true;
        });
        if (!missing.isEmpty())
            m_boxes.show(QStringLiteral("These files were not found:\n") + missing.join(QLatin1Char('\n')),
                         MessageBoxes::Exclamation, QStringLiteral("File not found"));
        intake(paths);
    });
}

void frmMain::LoadFileAfterDragging(const QMimeData *Data, std::int16_t &)
{
    ErrorHandlers::report(m_boxes, [&] {
        QStringList paths;
        for (const QUrl &url : Data->urls())
            if (url.isLocalFile())
                paths << FileNames::fromUrl(url);
        if (paths.size() > 1)
            chkAutoCommit->setState(1);
        intake(paths);
    });
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    const auto hasFiles = &frmDropZone::hasFiles;
    // TopMost takes no drops: one over it reaches its frame, which refuses it.
    const auto overTopMost = [&](const QPointF &at) {
        return watched == fraFileDetails && chkTopMost->geometry().contains(at.toPoint());
    };
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (!hasFiles(drag->mimeData()) || overTopMost(drag->position())) {
            drag->ignore();
            return true;
        }
        drag->acceptProposedAction();
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (!hasFiles(drop->mimeData()) || overTopMost(drop->position())) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        std::int16_t IndexCount = std::int16_t(std::min<qsizetype>(drop->mimeData()->urls().size(), 32767));
        skip([&] { LoadFileAfterDragging(drop->mimeData(), IndexCount); });
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void frmMain::intake(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    const bool squash = chkAutoCommit->state() != 0;
    const bool together = squash && paths.size() > 1 && chkTotalSize->state() == 1;
    // A load that only shows a picture gives way to a newer one that only
    // shows one; a squash, or a load that leads to one, is never given up.
    if (!squash && m_runner.runningAbandonable() && m_loading >= 0 && !m_list[m_loading].squash) {
        m_loading = -1;
        m_runner.cancelRunning();
    }
    std::vector<int> indexes;
    for (const QString &path : paths) {
        const int index = m_list.add(path, squash);
        if (together)
            m_together.insert(index);
        indexes.push_back(index);
        m_runner.add([this, index] { load(index); });
    }
    if (together)
        m_runner.add([this, indexes] { squashTogether(indexes); });
}

void frmMain::LoadFilePicture(const QString &p_strFileName)
{
    intake({p_strFileName});
}

void frmMain::load(int index)
{
    const QString path = m_list[index].path;
    m_loading = index;
    m_beforeLoad = txtResult->text();
    txtResult->setText(QStringLiteral("Loading %1...").arg(QFileInfo(path).fileName()));
    setCursor(Qt::BusyCursor);
    const QSize box = imgPicture->pixelSize();
    const auto done = [this, index](LoadedPicture picture, std::exception_ptr error) {
        loaded(index, std::move(picture), error);
    };
    if (m_prefetch.index == index && m_prefetch.path == path && m_prefetch.box == box) {
        QFuture<Prefetch::Outcome> ahead = m_prefetch.outcome;
        m_prefetch = {};
        m_runner.run<LoadedPicture>(
            [ahead](const std::atomic<bool> &) mutable {
                Prefetch::Outcome outcome = ahead.result();
                if (outcome.error)
                    std::rethrow_exception(outcome.error);
                return std::move(outcome.picture);
            },
            done, true);
        return;
    }
    dropPrefetch();
    m_runner.run<LoadedPicture>(
        [path, box](const std::atomic<bool> &cancelled) { return LoadedPicture::Load(path, box, cancelled); }, done,
        true);
}

void frmMain::prefetchAfter(int index)
{
    const int next = index + 1;
    if (next >= m_list.size() || m_prefetch.index == next)
        return;
    const PictureList::Picture &picture = m_list[next];
    if (picture.state != PictureList::State::Queued || !picture.squash || m_together.count(next))
        return;
    dropPrefetch();
    m_prefetch.index = next;
    m_prefetch.path = picture.path;
    m_prefetch.box = imgPicture->pixelSize();
    m_prefetch.cancelled = std::make_shared<std::atomic<bool>>(false);
    m_prefetch.outcome = QtConcurrent::run(
        &m_prefetchPool, [path = m_prefetch.path, box = m_prefetch.box, cancelled = m_prefetch.cancelled] {
            Prefetch::Outcome outcome;
            try {
                outcome.picture = LoadedPicture::Load(path, box, *cancelled);
            } catch (...) {
                outcome.error = std::current_exception();
            }
            return outcome;
        });
}

void frmMain::dropPrefetch()
{
    // A decode nobody takes is stopped and left to end unseen.
    if (m_prefetch.cancelled)
        *m_prefetch.cancelled = true;
    m_prefetch = {};
}

void frmMain::loaded(int index, LoadedPicture picture, std::exception_ptr error)
{
    unsetCursor();
    m_loading = -1;
    PictureList::Picture &entry = m_list[index];
    if (error) {
        // Nothing of the failed file is kept: the boxes still show the
        // picture that is loaded.
        txtResult->setText(m_beforeLoad);
        const AppError e = ErrorHandlers::asAppError(error);
        m_list.done(index, SquashJob::Status::LoadFailed, e);
        // A file that is no picture gets the "Invalid Picture" box; one that
        // is missing, unreadable or too large to hold says so.
        const QString text = ResultLines::LoadErrorText(e);
        if (text == ErrorHandlers::invalidPictureText())
            ErrorHandlers::showInvalidPicture(m_boxes);
        else
            m_boxes.show(text, MessageBoxes::Critical,
                         e.number() == AppError::InvalidPicture ? ErrorHandlers::invalidPictureTitle() : QString());
        return;
    }
    try {
        m_loaded = std::move(picture);
        m_current = index;
        entry.state = PictureList::State::Loaded;
        m_sngPictureWidth = float(m_loaded.width());
        m_sngPictureHeight = float(m_loaded.height());
        txtActualWidth->setText(Numbers::floatText(m_sngPictureWidth));
        txtActualHeight->setText(Numbers::floatText(m_sngPictureHeight));
        if (m_intResizeOption != 3) {
            txtWidth->setText(txtActualWidth->text());
            txtHeight->setText(txtActualHeight->text());
        }
        txtActualSize->setText(QString::number(m_loaded.length));
        if (m_intSizeOption != 4)
            txtUserSize->setText(txtActualSize->text());
        imgPicture->setPicture(m_loaded.preview);
        showSquashed(entry);
        txtFile->setText(m_loaded.path);
        if (ProgressBar)
            ProgressBar->value(0);
        txtResult->setText(NotYet());
    } catch (...) {
        ErrorHandlers::showInvalidPicture(m_boxes);
        return;
    }
    // The estimates belong to the picture shown, also while it squashes.
    refreshEstimates();
    if (entry.squash && !m_together.count(index))
        m_runner.addNext({[this, index] { squash(index); }});
}

void frmMain::showSquashed(const PictureList::Picture &picture)
{
    const bool done = picture.state == PictureList::State::Done;
    const SquashJob::Result &result = picture.result;
    imgSquashed->setPicture(done ? result.preview : QImage());
    const QString caption = done ? ResultLines::Caption(result) : QString();
    lblPicture[1]->setText(caption.isEmpty() ? QStringLiteral("Squashed") : caption);
    // A pixel smaller rather than lose the end of its figures.
    QFont font = lblPicture[1]->font();
    font.setPixelSize(10);
    if (QFontMetrics(font).horizontalAdvance(lblPicture[1]->text()) > lblPicture[1]->width())
        font.setPixelSize(9);
    lblPicture[1]->setFont(font);
    const bool offer = done && result.status == SquashJob::Status::Failed && result.fit.found;
    lblFit->setText(offer ? QStringLiteral("<a href=\"fit\">Fits at %1 x %2 at %3%: click to squash at that size</a>")
                                .arg(result.fit.size.width())
                                .arg(result.fit.size.height())
                                .arg(result.fit.quality)
                          : QString());
    lblFit->setVisible(offer);
    followCompare();
}

void frmMain::followCompare()
{
    if (!m_compare || !m_compare->isVisible())
        return;
    if (!squashedShown()) {
        m_compare->clear(QStringLiteral("The picture shown has no squashed picture yet"));
        return;
    }
    const SquashJob::Result &result = m_list[m_current].result;
    frmCompare::Request request;
    request.original = m_loaded.picture;
    request.squashed = result.output.path;
    request.size = result.size;
    request.quality = result.quality;
    request.bytes = result.outputBytes;
    request.psnr = result.psnr;
    request.name = QFileInfo(m_loaded.path).fileName();
    m_compare->compare(request);
}

bool frmMain::squashedShown() const
{
    if (m_current < 0 || m_loaded.isNull() || m_list[m_current].path != m_loaded.path
        || m_list[m_current].state != PictureList::State::Done)
        return false;
    const SquashJob::Result &result = m_list[m_current].result;
    const bool written = result.status == SquashJob::Status::Squashed || result.status == SquashJob::Status::Failed;
    return written && clsPathER::FileExists(result.output.path);
}

void frmMain::openCompare()
{
    if (!squashedShown()) {
        m_boxes.show(QStringLiteral("The Squashed picture does not exist"), MessageBoxes::Exclamation,
                     QStringLiteral("Picture Missing"));
        return;
    }
    if (!m_compare) {
        m_compare = std::make_unique<frmCompare>(this);
        m_compare->setWindowIcon(windowIcon());
    }
    m_compare->show();
    m_compare->raise();
    m_compare->activateWindow();
    followCompare();
}

void frmMain::squashAtFit()
{
    if (m_current < 0 || busy())
        return;
    const SquashJob::Result &result = m_list[m_current].result;
    if (result.status != SquashJob::Status::Failed || !result.fit.found)
        return;
    const QSize fit = result.fit.size;
    optResize[3]->click();
    txtWidth->setText(QString::number(fit.width()));
    txtHeight->setText(QString::number(fit.height()));
    cmdSquash_Click();
}

void frmMain::showViewer(const QImage &picture, float W, float H)
{
    if (!m_viewer) {
        // Owned by the window, so that it opens above it even when the
        // window is top-most.
        m_viewer = std::make_unique<frmPicture>(this);
        m_viewer->setWindowIcon(windowIcon());
    }
    skip([&] { m_viewer->setWindowFlag(Qt::WindowStaysOnTopHint, chkTopMost->state() != 0); });
    skip([&] { m_viewer->setPicture(picture); });
    // Sized by the picture it shows; the fields only when it could not be read.
    skip([&] {
        if (picture.isNull())
            m_viewer->SizeToPicture(int(W), int(H));
        else
            m_viewer->SizeToPicture(picture.width(), picture.height());
    });
    skip([&] { m_viewer->exec(); });
}

void frmMain::imgPicture_Click()
{
    if (m_loaded.isNull()) {
        m_boxes.show(QStringLiteral("No picture has been loaded"), MessageBoxes::Exclamation,
                     QStringLiteral("Picture Missing"));
        return;
    }
    showViewer(m_loaded.picture, m_sngPictureWidth, m_sngPictureHeight);
}

void frmMain::imgSquashed_Click()
{
    const auto missing = [this] {
        m_boxes.show(QStringLiteral("The Squashed picture does not exist"), MessageBoxes::Exclamation,
                     QStringLiteral("Picture Missing"));
    };
    if (m_strSquashedFile.isEmpty())
        return missing();
    if (!clsPathER::FileExists(m_strSquashedFile)) {
        missing();
        imgSquashed->clear();
        return;
    }
    // Decoded whole off the window's thread; the viewer opens when it is.
    const QString file = m_strSquashedFile;
    m_runner.add([this, file] {
        m_runner.run<QImage>([file](const std::atomic<bool> &) { return Picture::LoadPicture(file); },
                             [this](QImage picture, std::exception_ptr) {
                                 showViewer(picture, m_sngNewWidth, m_sngNewHeight);
                             },
                             true);
    });
}

void frmMain::ShowProgress(bool bShow)
{
    skip([&] {
        if (bShow) {
            txtResult->hide();
            picScrollBar->show();
        } else {
            picScrollBar->hide();
            txtResult->show();
        }
    });
}

QLineEdit *frmMain::boxFor(int box) const
{
    using OptionTargets::Box;
    switch (Box(box)) {
    case Box::UserSize: return txtUserSize;
    case Box::UserSizePercent: return txtUserSizePercent;
    case Box::Width: return txtWidth;
    case Box::Height: return txtHeight;
    case Box::WidthPercent: return txtWidthPercent;
    case Box::HeightPercent: return txtHeightPercent;
    }
    return nullptr;
}

void frmMain::cmdSquash_Click()
{
    m_runner.add([this] { squash(m_current); });
}

void frmMain::squashFailed(int index, const AppError &e)
{
    if (index >= 0)
        m_list.done(index, SquashJob::Status::Error, e);
    // The result box comes back with the error, instead of leaving the bar
    // where the result should be.
    ShowProgress(false);
    txtResult->setText(e.reportText());
}

void frmMain::squash(int index)
{
    ErrorHandlers::report(m_boxes, [this, index] {
        if (index < 0 || m_loaded.isNull()) {
            m_boxes.show(QStringLiteral("Please select a picture to be squashed"), MessageBoxes::Exclamation,
                         QStringLiteral("No picture present"));
            return;
        }
        const auto chosen = chosenSettings();
        if (!chosen)
            return;
        SquashJob::Settings settings = *chosen;
        const auto target = SquashTargets::TargetFor(settings.limit, settings.size,
                                                     std::int32_t(std::min<qint64>(m_loaded.length, INT32_MAX)),
                                                     float(m_loaded.width()), float(m_loaded.height()));
        m_lngMaxFileSize = target.bytes;
        m_sngNewWidth = target.width;
        m_sngNewHeight = target.height;

        const SquashJob::Job job = SquashJob::Plan(QFileInfo(m_loaded.path).fileName(), m_loaded.path, settings,
                                                   plan(), [this] {
            return m_boxes.show(QStringLiteral("Picture is already within the file size limit.\r\n"
                                               "Do you want to continue on resizing the picture?"),
                                MessageBoxes::YesNoQuestion, QStringLiteral("Picture Size?")) == MessageBoxes::Yes;
        }, m_loaded.length);
        if (job.error)
            throw *job.error;
        if (job.declined)
            return;

        txtResult->setText(QStringLiteral("Squashing in progress...Please wait"));
        m_strSquashedFile = job.output.path;
        ShowProgress(true);
        if (!ProgressBar)
            throw AppError(AppError::ObjectNotSet, QStringLiteral("Quillmoss"));
        ProgressBar->value(0);
        // In a batch the bar runs over the whole batch, each file its share.
        const int of = m_list.batchSquashes(), n = m_list.batchPosition(index);
        const bool inBatch = of > 1 && n > 0;
        ProgressBar->Caption(inBatch ? QStringLiteral("File %1 of %2").arg(n).arg(of) : QString());
        const int share = int(picScrollBar->scaleWidth()) / std::max(of, 1);
        const int floor = inBatch ? share * (n - 1) : 0, cap = inBatch ? share * n : INT16_MAX;

        // Each try comes back as a queued call and draws the bar once, in order.
        const auto drawTry = [this, floor, cap] {
            skip([this, floor, cap] {
                ProgressBar->value(std::int16_t(std::min(std::max<int>(ProgressBar->value(), floor) + 10, cap)));
                ProgressBar->DrawStatus(*picScrollBar);
            });
        };
        const Runner::Poster post = m_runner.poster();
        const PreparedPicture picture = m_loaded;
        prefetchAfter(index);
        m_runner.run<SquashJob::Result>(
            [job, picture, settings, post, drawTry](const std::atomic<bool> &cancelled) {
                return SquashJob::Run(job, picture, settings, [&](int) {
                    post(drawTry);
                    return !cancelled.load();
                });
            },
            [this, index](SquashJob::Result result, std::exception_ptr error) { squashed(index, std::move(result), error); },
            false);
    }, [this, index](const AppError &e) { squashFailed(index, e); });
}

std::optional<SquashJob::Settings> frmMain::chosenSettings()
{
    const auto refuse = [this](const SquashTargets::Refusal &r, OptionTargets::Box focus) {
        m_boxes.show(r.text, MessageBoxes::Exclamation, r.title);
        QLineEdit *box = boxFor(int(focus));
        box->setFocus(Qt::OtherFocusReason);
        box->selectAll();
        m_focusBeforeBusy = box;   // and stays there
        return std::nullopt;
    };
    const auto limit = OptionTargets::SizeOption(
        OptionTargets::GetSelectedOption(optSize, OptionTargets::SizeOptionCount), txtUserSize->text(),
        txtUserSizePercent->text());
    if (limit.refusal)
        return refuse(*limit.refusal, limit.focus);
    const auto size = OptionTargets::ResizeOption(
        OptionTargets::GetSelectedOption(optResize, OptionTargets::ResizeOptionCount), txtWidth->text(),
        txtHeight->text(), txtWidthPercent->text(), txtHeightPercent->text());
    if (size.refusal)
        return refuse(*size.refusal, size.focus);
    SquashJob::Settings settings;
    settings.limit = limit.choice;
    settings.size = size.choice;
    settings.previewSize = imgSquashed->pixelSize();
    settings.metadata = m_metadata;
    return settings;
}

OutputPlan &frmMain::plan()
{
    // One plan a batch: an output written earlier in it is never replaced.
    if (!m_plan || m_plan->suffix() != txtSuffix->text() || m_plan->destFolder() != m_destFolder)
        m_plan = std::make_unique<OutputPlan>(txtSuffix->text(), m_destFolder);
    return *m_plan;
}

void frmMain::squashTogether(const std::vector<int> &indexes)
{
    std::vector<int> loaded;
    for (const int index : indexes) {
        m_together.erase(index);
        if (m_list[index].state == PictureList::State::Loaded)
            loaded.push_back(index);
    }
    if (loaded.empty())
        return;
    ErrorHandlers::report(m_boxes, [this, loaded] {
        const auto chosen = chosenSettings();
        if (!chosen)
            return;
        const SquashJob::Settings settings = *chosen;
        // A size in bytes is the budget of all; a limit that follows each
        // original's length adds up theirs.
        const bool bytes = settings.limit.kind == SquashTargets::LimitChoice::Kind::Bytes;
        BatchBudget::Budget budget{bytes ? std::int64_t(settings.limit.value) : 0, BatchBudget::Measure::Files};
        std::vector<SquashJob::Job> jobs;
        for (const int index : loaded) {
            const QString &path = m_list[index].path;
            jobs.push_back(SquashJob::Plan(QFileInfo(path).fileName(), path, settings, plan(), [] { return true; }));
            if (!bytes)
                budget.bytes += jobs.back().limit;
        }
        txtResult->setText(QStringLiteral("Squashing in progress...Please wait"));
        ShowProgress(true);
        if (!ProgressBar)
            throw AppError(AppError::ObjectNotSet, QStringLiteral("Quillmoss"));
        ProgressBar->value(0);
        ProgressBar->Caption(QStringLiteral("%1 files together").arg(loaded.size()));
        const int cap = int(picScrollBar->scaleWidth()) - 1;
        const auto drawTry = [this, cap] {
            skip([this, cap] {
                ProgressBar->value(std::int16_t(std::min<int>(ProgressBar->value() + 1, cap)));
                ProgressBar->DrawStatus(*picScrollBar);
            });
        };
        const Runner::Poster post = m_runner.poster();
        m_runner.run<BatchBudget::Outcome>(
            [jobs, settings, budget, post, drawTry](const std::atomic<bool> &cancelled) {
                return BatchBudget::Run(jobs, settings, budget, [&](int) {
                    post(drawTry);
                    return !cancelled.load();
                });
            },
            [this, loaded](BatchBudget::Outcome outcome, std::exception_ptr error) {
                squashedTogether(loaded, std::move(outcome), error);
            },
            false);
    }, [this](const AppError &e) { squashFailed(-1, e); });
}

void frmMain::squashedTogether(const std::vector<int> &indexes, BatchBudget::Outcome outcome, std::exception_ptr error)
{
    ShowProgress(false);
    if (error)   // Run never throws; a failure to hand its result over still shows
        return squashFailed(-1, ErrorHandlers::asAppError(error));
    if (outcome.written)
        ProgressBar->value(100);
    for (std::size_t i = 0; i < indexes.size() && i < outcome.results.size(); ++i) {
        if (indexes[i] == m_current)
            m_strSquashedFile = outcome.results[i].output.path;
        m_list.done(indexes[i], std::move(outcome.results[i]));
    }
    m_togetherSummary = outcome.summary;
    txtResult->setText(outcome.summary);
    if (m_current >= 0)
        showSquashed(m_list[m_current]);
}

bool frmMain::offerFolder(int index, const AppError &e)
{
    if (e.number() != AppError::PermissionDenied)
        return false;
    clsCommonDialogs dialog;
    dialog.hOwner(this);
    dialog.DialogPrompt(e.reportText() + QStringLiteral(": choose a folder for the squashed pictures"));
    dialog.InitDir(QFileInfo(m_list[index].path).absolutePath());
    const QString folder = dialog.ShowFolder();
    if (folder.isEmpty())
        return false;
    // The rest of the batch goes there too.
    m_destFolder = folder;
    m_runner.addNext({[this, index] { squash(index); }});
    return true;
}

void frmMain::squashed(int index, SquashJob::Result result, std::exception_ptr error)
{
    ShowProgress(false);
    if (error)   // Run never throws; a failure to hand its result over still shows
        return squashFailed(index, ErrorHandlers::asAppError(error));
    if (result.status == SquashJob::Status::Error) {
        if (offerFolder(index, *result.error))
            return;
        m_boxes.show(result.error->reportText(), MessageBoxes::OkOnly, QString());
    }
    if (result.status == SquashJob::Status::Squashed)
        ProgressBar->value(100);
    // The box gets the job's own text; a batch's lines keep the names.
    txtResult->setText(ResultLines::Text(result));
    m_list.done(index, std::move(result));
    if (index == m_current)
        showSquashed(m_list[index]);
}

void frmMain::stop()
{
    // The running squash stops after its current try and writes nothing;
    // what is queued is not started.
    m_list.stopBatch();
    dropPrefetch();
    m_runner.cancelAll();
}

void frmMain::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && busy()) {
        stop();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmMain::batchEnded()
{
    unsetCursor();
    // A batch of several squashes keeps every result: the sums first, then
    // one line a picture.
    if (m_list.batchSquashes() > 1) {
        // The sums, then what the pictures squashed together came to.
        QString report = m_list.batchReport();
        if (!m_togetherSummary.isEmpty())
            report.insert(report.indexOf(QLatin1Char('\n')) < 0 ? report.size() : report.indexOf(QLatin1Char('\n')),
                          QLatin1Char('\n') + m_togetherSummary);
        txtResult->setText(report);
    }
    m_togetherSummary.clear();
    m_together.clear();
    m_list.endBatch();
    m_plan.reset();
    m_destFolder.clear();
    if (ProgressBar)
        ProgressBar->Caption(QString());
}
