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
#include "frmPicture.h"
#include "modTopMost.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragMoveEvent>
#include <QDropEvent>
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
        cmdSquash->setEnabled(!busy);
        if (!busy && m_closeWhenDone)
            close();
    });
    connect(cmdSquash, &QPushButton::clicked, this, [this] { cmdSquash_Click(); });
    connect(cmdOpen, &QPushButton::clicked, this, [this] { cmdOpen_Click(); });
    connect(imgPicture, &ImageBox::clicked, this, [this] { imgPicture_Click(); });
    connect(imgSquashed, &ImageBox::clicked, this, [this] { imgSquashed_Click(); });
    for (QWidget *target : std::initializer_list<QWidget *>{fraFileDetails, txtFile, cmdOpen, chkAutoCommit, chkDropZone,
                                                            lbSuffix, txtSuffix}) {
        target->setAcceptDrops(true);
        target->installEventFilter(this);
    }

    connect(lbEmail, &QLabel::linkActivated, this, [this] {
        Navigate(QStringLiteral("mailto:") + EmailAddress() + QStringLiteral("?subject=Quillmoss"));
    });
    Form_Load();
}

frmMain::~frmMain() = default;

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
        m_runner.cancelAll();
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
        dialog.Filter(QStringLiteral("All supported files (JPG,GIF,BMP)|*.jpg;*.gif;*.bmp|JPG|*.jpg|GIF|*.gif|BMP|*.bmp|"
                                     "All files|*.*|More pictures (*.png;*.webp;*.tif;*.tiff;*.heic;*.heif)|"
                                     "*.png;*.webp;*.tif;*.tiff;*.heic;*.heif"));
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
        intake(paths, true);
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
        intake(paths, false);
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

void frmMain::intake(const QStringList &paths, bool fromDialog)
{
    if (paths.isEmpty())
        return;
    // The user has moved on: a picture still decoding is given up.
    m_runner.cancelRunning();
    for (const QString &path : paths) {
        ++m_queuedLoads;
        m_runner.add([this, path, fromDialog] {
            --m_queuedLoads;
            // The dialog's files show in txtFile while they load.
            if (fromDialog)
                txtFile->setText(path);
            LoadFilePicture(path);
        });
    }
    showQueued();
}

void frmMain::showQueued()
{
    const QString text = txtResult->text().section(QStringLiteral(" ("), 0, 0);
    if (m_runner.busy() && m_queuedLoads > 0)
        txtResult->setText(text + QStringLiteral(" (%1 more queued)").arg(m_queuedLoads));
}

void frmMain::LoadFilePicture(const QString &p_strFileName)
{
    const auto load = [this, p_strFileName] {
        m_runner.run<LoadedPicture>(
            [p_strFileName](const std::atomic<bool> &cancelled) { return LoadedPicture::Load(p_strFileName, cancelled); },
            [this, p_strFileName](LoadedPicture picture, std::exception_ptr error) {
                loaded(std::move(picture), error, p_strFileName);
            },
            true);
    };
    if (m_runner.inStep())
        load();   // from the intake's own step
    else
        m_runner.add(load);
}

void frmMain::loaded(LoadedPicture picture, std::exception_ptr error, const QString &)
{
    if (error) {
        // Nothing of the failed file is kept: txtFile names the picture
        // that is still loaded.
        txtFile->setText(m_loaded.path);
        // A picture too large to hold is not a wrong format: say its size.
        if (ErrorHandlers::asAppError(error).number() == AppError::OutOfMemory)
            ErrorHandlers::report(m_boxes, [&] { std::rethrow_exception(error); });
        else
            ErrorHandlers::showInvalidPicture(m_boxes, ResultLines::LoadErrorText(ErrorHandlers::asAppError(error)));
        return;
    }
    try {
        m_loaded = std::move(picture);
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
        imgPicture->setPicture(m_loaded.picture);
        imgSquashed->clear();
        txtFile->setText(m_loaded.path);
        if (ProgressBar)
            ProgressBar->value(0);
        txtResult->setText(NotYet());
        showQueued();
    } catch (...) {
        ErrorHandlers::showInvalidPicture(m_boxes);
        return;
    }
    // The estimates follow the squash, as the loaded picture's last step.
    if (chkAutoCommit->state() != 0)
        m_runner.addNext({[this] { squash(); }, [this] { refreshEstimates(); }});
    else
        refreshEstimates();
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
    QImage picture;
    skip([&] { picture = Picture::LoadPicture(m_strSquashedFile); });
    showViewer(picture, m_sngNewWidth, m_sngNewHeight);
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
    m_runner.add([this] { squash(); });
}

void frmMain::reportSquashError(const AppError &e)
{
    // The result box comes back with the error, instead of leaving the bar
    // where the result should be.
    ShowProgress(false);
    txtResult->setText(e.reportText());
}

void frmMain::squash()
{
    ErrorHandlers::report(m_boxes, [this] {
        if (m_loaded.isNull()) {
            m_boxes.show(QStringLiteral("Please select a picture to be squashed"), MessageBoxes::Exclamation,
                         QStringLiteral("No picture present"));
            return;
        }
        const auto refuse = [this](const SquashTargets::Refusal &r, OptionTargets::Box focus) {
            m_boxes.show(r.text, MessageBoxes::Exclamation, r.title);
            QLineEdit *box = boxFor(int(focus));
            box->setFocus(Qt::OtherFocusReason);
            box->selectAll();
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
        const auto target = SquashTargets::TargetFor(limit.choice, size.choice,
                                                     std::int32_t(std::min<qint64>(m_loaded.length, INT32_MAX)),
                                                     float(m_loaded.width()), float(m_loaded.height()));
        m_lngMaxFileSize = target.bytes;
        m_sngNewWidth = target.width;
        m_sngNewHeight = target.height;

        SquashCore::Request request;
        request.inputPath = m_loaded.path;
        SquashCore::Aim(request, target);
        const bool go = SquashCore::ConfirmWithinLimit(request, m_loaded.length, [this] {
            return m_boxes.show(QStringLiteral("Picture is already within the file size limit.\r\n"
                                               "Do you want to continue on resizing the picture?"),
                                MessageBoxes::YesNoQuestion, QStringLiteral("Picture Size?")) == MessageBoxes::Yes;
        });
        if (!go)
            return;

        txtResult->setText(QStringLiteral("Squashing in progress...Please wait"));
        m_strSquashedFile = SquashCore::OutputPath(m_loaded.path, txtSuffix->text());
        ShowProgress(true);
        if (!ProgressBar)
            throw AppError(AppError::ObjectNotSet, QStringLiteral("Quillmoss"));
        ProgressBar->value(0);
        request.picture = m_loaded.picture;
        request.suffix = txtSuffix->text();

        // Each try comes back as a queued call and draws the bar once, in order.
        const auto drawTry = [this] {
            skip([this] {
                ProgressBar->value(std::int16_t(ProgressBar->value() + 10));
                ProgressBar->DrawStatus(*picScrollBar);
            });
        };
        m_focusBeforeSquash = focusWidget();
        cmdSquash->setEnabled(false);
        Runner *runner = &m_runner;
        m_runner.run<Squashed>(
            [request, runner, drawTry](const std::atomic<bool> &cancelled) {
                Squashed done;
                done.result = SquashCore::Squash(request, [&](int) {
                    runner->post(drawTry);
                    return !cancelled.load();
                });
                // A failure also says what would fit; the bar stays full meanwhile.
                if (done.result.outcome == SquashCore::Outcome::Failed) {
                    SquashCore::Request fit = request;
                    fit.minQuality = FitSearch::DefaultMinQuality;
                    done.fit = FitSearch::WhatWouldFit(fit, [&](int) { return !cancelled.load(); });
                }
                return done;
            },
            [this](Squashed done, std::exception_ptr error) { squashed(done, error); }, false);
    }, [this](const AppError &e) { reportSquashError(e); });
}

void frmMain::squashed(const Squashed &done, std::exception_ptr error)
{
    const SquashCore::Result &result = done.result;
    if (m_focusBeforeSquash)
        m_focusBeforeSquash->setFocus();
    ErrorHandlers::report(m_boxes, [&] {
        if (error)
            std::rethrow_exception(error);
        switch (result.outcome) {
        case SquashCore::Outcome::Success:
            txtResult->setText(SquashCore::ResultText(result)
                               + QStringLiteral("\n%1 bytes, PSNR %2 dB").arg(result.outputBytes).arg(result.psnr, 0, 'f', 1));
            imgSquashed->setPicture(Picture::LoadPicture(m_strSquashedFile));
            ProgressBar->value(100);
            ShowProgress(false);
            break;
        case SquashCore::Outcome::Failed:
            txtResult->setText(SquashCore::ResultText(result)
                               + (done.fit.found ? QLatin1Char('\n') + FitSearch::FitText(done.fit) : QString()));
            ShowProgress(false);
            break;
        case SquashCore::Outcome::Cancelled:
            txtResult->setText(QStringLiteral("Squash cancelled: nothing was written"));
            ShowProgress(false);
            break;
        }
        showQueued();
    }, [this](const AppError &e) { reportSquashError(e); });
}
