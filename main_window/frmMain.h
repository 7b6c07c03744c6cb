#pragma once

#include "LoadedPicture.h"
#include "MessageBoxes.h"
#include "PictureList.h"
#include "ResultBox.h"
#include "Runner.h"
#include "BatchBudget.h"
#include "OutputPlan.h"
#include "SquashJob.h"
#include "StateCheckBox.h"
#include "clsProgressBar.h"

#include <QButtonGroup>
#include <QFuture>
#include <QThreadPool>
#include <QGroupBox>
#include <QImage>
#include <QPointer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

class ImageBox;
class ProgressSurface;
class QMimeData;
class AppError;
class frmCompare;
class frmPicture;
class frmDropZone;

// The main window. Controls, fields and handlers keep the program's own
// names; the controls are public, as on a form, so that tests drive them.
class frmMain : public QWidget
{
    Q_OBJECT
public:
    // Runs the start-up sequence: caption, option handlers, settings, the
    // JPEG library probe and the progress bar. Message boxes go to `boxes`.
    explicit frmMain(MessageBoxes &boxes, QWidget *parent = nullptr);
    ~frmMain() override;

    // Queues the load of one picture, after the work already queued; it
    // decodes off the window's thread.
    void LoadFilePicture(const QString &p_strFileName);
    // Loads (and with Auto-Commit squashes) every local file of a drop, after
    // the work already queued.
    void LoadFileAfterDragging(const QMimeData *Data, std::int16_t &IndexCount);
    void cmdOpen_Click();
    void cmdSquash_Click();
    void imgPicture_Click();
    void imgSquashed_Click();
    // The compare window for the picture shown (Ctrl+K, or the Squashed
    // thumbnail's context menu).
    void openCompare();
    frmCompare *compareWindow() const { return m_compare.get(); }
    void Navigate(const QString &NavTo);

    // Where Navigate hands its text; the desktop's URL handler by default.
    std::function<void(const QString &)> navigator;

    // Whether loads or squashes are running or queued (Squash is disabled
    // meanwhile), and the queue they run through.
    bool busy() const { return m_runner.busy(); }
    Runner &runner() { return m_runner; }
    // The picture a squash works on: replaced whole by each good load.
    const LoadedPicture &loaded() const { return m_loaded; }
    // Every picture that came in, and what became of it.
    const PictureList &pictures() const { return m_list; }

    // The viewer, once a thumbnail has been clicked, and the drop zone, once
    // opened.
    frmPicture *viewer() const { return m_viewer.get(); }
    frmDropZone *dropZone() const { return m_dropZone.get(); }

    // Files given to the program (its command line, or a second start):
    // loaded as a drop of them on the window would load them.
    void LoadFiles(const QStringList &paths);

    static QString Caption();
    static QString NotYet() { return QStringLiteral("* Squash not performed yet *"); }
    static QString EmailAddress() { return QStringLiteral("quillmoss@example.org"); }

    // fraFileDetails
    QGroupBox *fraFileDetails;
    QLineEdit *txtFile;
    QPushButton *cmdOpen;
    StateCheckBox *chkAutoCommit, *chkDropZone, *chkTopMost;
    QLabel *lbSuffix;
    QLineEdit *txtSuffix;
    // fraSize
    QGroupBox *fraSize;
    QLabel *lbRealFileSize, *lbEstimatedFileSize;
    QLineEdit *txtActualSize, *txtEstimatedSize, *txtUserSize, *txtUserSizePercent;
    QRadioButton *optSize[9];
    QButtonGroup *optSizeGroup;
    // The limit is for all the pictures opened or dropped at once, together.
    StateCheckBox *chkTotalSize;
    // fraPictureSize
    QGroupBox *fraPictureSize;
    QLabel *lbRealPictureSize, *lbEstimatedPictureSize, *lbX1, *lbX2, *lblX, *Label1;
    QLineEdit *txtActualWidth, *txtActualHeight, *txtEstimatedWidth, *txtEstimatedHeight;
    QLineEdit *txtWidth, *txtHeight, *txtWidthPercent, *txtHeightPercent;
    QRadioButton *optResize[8];
    QButtonGroup *optResizeGroup;
    // fraOriginal
    QGroupBox *fraOriginal;
    QLabel *lblPicture[2];
    ImageBox *imgPicture, *imgSquashed;
    // Over the Squashed thumbnail after a FAILED: the size that would fit.
    QLabel *lblFit;
    // bottom strip
    QPushButton *cmdSquash;
    ResultBox *txtResult;
    ProgressSurface *picScrollBar;
    QLabel *lbEmail;

    std::unique_ptr<clsProgressBar> ProgressBar;

    // Form-level fields.
    std::int16_t m_intSizeOption = 0;
    std::int16_t m_intResizeOption = 0;
    std::int32_t m_lngMaxFileSize = 0;
    float m_sngNewWidth = 0, m_sngNewHeight = 0;
    float m_sngPictureWidth = 0, m_sngPictureHeight = 0;
    QString m_strSquashedFile;
    QString m_strLastUsedPath;

    void optSize_Click(std::int16_t Index);
    void optResize_Click(std::int16_t Index);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void Form_Load();
    void Form_Unload();
    void ReadSettings();
    void WriteSettings();
    void chkTopMost_Click();
    void chkDropZone_Click();
    void ShowProgress(bool bShow);
    void intake(const QStringList &paths);
    void load(int index);
    void loaded(int index, LoadedPicture picture, std::exception_ptr error);
    void squash(int index);
    void squashed(int index, SquashJob::Result result, std::exception_ptr error);
    std::optional<SquashJob::Settings> chosenSettings();
    OutputPlan &plan();
    void squashTogether(const std::vector<int> &indexes);
    void squashedTogether(const std::vector<int> &indexes, BatchBudget::Outcome outcome, std::exception_ptr error);
    bool offerFolder(int index, const AppError &e);
    void squashFailed(int index, const AppError &e);
    void showSquashed(const PictureList::Picture &picture);
    void squashAtFit();
    void batchEnded();
    void stop();
    void refreshEstimates();
    void showViewer(const QImage &picture, float W, float H);
    void followCompare();
    // The picture shown has a squashed file on disk.
    bool squashedShown() const;
    void setInputBox(QLineEdit *box, bool enabled);
    QLineEdit *boxFor(int box) const;

    MessageBoxes &m_boxes;
    LoadedPicture m_loaded;
    PictureList m_list;
    int m_current = -1;           // the picture shown, in m_list
    int m_loading = -1;           // the picture whose load runs
    QString m_beforeLoad;         // txtResult before "Loading NAME..."
    QString m_destFolder;         // chosen for this batch when its own cannot be written
    std::unique_ptr<OutputPlan> m_plan;   // the running batch's output names
    Metadata::Policy m_metadata = Metadata::Policy::Mail;   // what squashed files keep (settings, read only)
    bool m_closeWhenDone = false;
    std::set<int> m_together;     // pictures loading for one squash of them together
    QString m_togetherSummary;    // that squash's summary, for the batch's report
    QPointer<QWidget> m_focusBeforeBusy;   // given back when the queue is idle
    std::unique_ptr<frmPicture> m_viewer;
    std::unique_ptr<frmCompare> m_compare;
    std::unique_ptr<frmDropZone> m_dropZone;
    // The next picture of a batch, decoded while the one before it squashes:
    // at most two pictures are held. Its load step takes it, if nothing
    // about it changed.
    struct Prefetch
    {
        int index = -1;
        QString path;
        QSize box;
        std::shared_ptr<std::atomic<bool>> cancelled;
        // What the load threw travels beside it: QFuture would wrap it.
        struct Outcome
        {
            LoadedPicture picture;
            std::exception_ptr error;
        };
        QFuture<Outcome> outcome;
    };
    Prefetch m_prefetch;
    QThreadPool m_prefetchPool;
    void prefetchAfter(int index);
    void dropPrefetch();
    // Last, so that it goes first: it waits for a running squash while
    // everything else is still there.
    Runner m_runner;
};
