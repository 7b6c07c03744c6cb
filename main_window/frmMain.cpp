#include "frmMain.h"

#include "AppError.h"
#include "DigitsOnly.h"
#include "ErrorHandlers.h"
#include "ImageBox.h"
#include "mIntelJPEGLibrary.h"
#include "Numbers.h"
#include "Picture.h"
#include "ProgressSurface.h"
#include "SquashCore.h"
#include "SquashTargets.h"
#include "clsCommonDialogs.h"
#include "clsPathER.h"
#include "frmPicture.h"
#include "frmDropZone.h"
#include "modINIer.h"
#include "modTopMost.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScopeGuard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileInfo>
#include <QFrame>
#include <QPointer>
#include <QProxyStyle>
#include <QTimer>
#include <QUrl>

#include <mutex>
#include <thread>
#include <vector>

using ErrorHandlers::skip;

namespace {

// Designed positions are in twips, 15 to a pixel.
int px(int twips) { return qRound(twips / 15.0); }

template <typename W>
W *at(W *widget, int left, int top, int width, int height)
{
    widget->setGeometry(px(left), px(top), px(width), px(height));
    return widget;
}

const QColor kLightYellow(255, 255, 192);

QLineEdit *readOnlyBox(QWidget *parent, const QString &tip)
{
    auto *box = new QLineEdit(parent);
    box->setReadOnly(true);
    box->setToolTip(tip);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, kLightYellow);
    box->setPalette(palette);
    return box;
}

QLineEdit *numberBox(QWidget *parent, const QString &text, const QString &tip, int maxLength)
{
    auto *box = new QLineEdit(text, parent);
    box->setToolTip(tip);
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    DigitsOnly::install(box);
    return box;
}

QLabel *label(QWidget *parent, const QString &text)
{
    return new QLabel(text, parent);
}

// A column of option buttons in one exclusive group, the first one checked.
struct Option { const char *caption, *tip; int left, top, width; };

template <std::size_t N>
QButtonGroup *options(QWidget *frame, const Option (&design)[N], QRadioButton *(&buttons)[N])
{
    auto *group = new QButtonGroup(frame);
    for (std::size_t i = 0; i < N; ++i) {
        const Option &o = design[i];
        buttons[i] = at(new QRadioButton(QString::fromUtf8(o.caption), frame), o.left, o.top, o.width, 255);
        buttons[i]->setToolTip(QString::fromUtf8(o.tip));
        group->addButton(buttons[i], int(i));
    }
    buttons[0]->setChecked(true);
    return group;
}

QFrame *verticalLine(QWidget *parent, int x, int y1, int y2)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(px(x) - 1, px(y1), 2, px(y2) - px(y1));
    return line;
}

// The designed widths leave little room between an indicator and its caption.
class CompactStyle : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_RadioButtonLabelSpacing || metric == PM_CheckBoxLabelSpacing)
            return 2;
        if (metric == PM_ExclusiveIndicatorWidth || metric == PM_ExclusiveIndicatorHeight ||
            metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 12;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QStyle *compactStyle()
{
    static QStyle *style = [] {
        auto *s = new CompactStyle;
        s->setParent(qApp);
        return s;
    }();
    return style;
}

QString programFolder() { return QCoreApplication::applicationDirPath(); }

const QString kNotYet = QStringLiteral("* Squash not performed yet *");

} // namespace

QString frmMain::Caption()
{
    return QStringLiteral("Quillmoss %1.%2 - bY tRoMbeLiX").arg(QUILLMOSS_VERSION_MAJOR).arg(QUILLMOSS_VERSION_MINOR);
}

frmMain::frmMain(MessageBoxes &boxes, QWidget *parent) : QWidget(parent), m_boxes(boxes)
{
    navigator = [](const QString &target) { QDesktopServices::openUrl(QUrl(target)); };
    buildControls();
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::buildControls()
{
    QFont f(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    f.setPixelSize(11);
    setFont(f);
    setFixedSize(384, 457);
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/quillmoss-%1.png").arg(size));
    setWindowIcon(icon);
    setAcceptDrops(false);

    // File details
    fraFileDetails = at(new QGroupBox(QStringLiteral("Select a file, or drap and drop some here"), this), 120, 120, 3135, 1215);
    fraFileDetails->setToolTip(QStringLiteral("Drag'n'Drop file(s) to this area"));
    txtFile = at(readOnlyBox(fraFileDetails, QStringLiteral("Drag'n'Drop file(s) to this area")), 180, 300, 2415, 255);
    cmdOpen = at(new QPushButton(QStringLiteral("..."), fraFileDetails), 2640, 300, 375, 255);
    cmdOpen->setToolTip(QStringLiteral("Click here to browse to select the file(s)"));
    chkAutoCommit = at(new StateCheckBox(QStringLiteral("Auto-Commit"), fraFileDetails), 120, 600, 1223, 255);
    chkAutoCommit->setToolTip(QStringLiteral("Process file(s) as soon as opened"));
    chkDropZone = at(new StateCheckBox(QStringLiteral("DropZone"), fraFileDetails), 1920, 600, 1095, 255);
    chkDropZone->setToolTip(QStringLiteral("Enables drag'n'drop target window (always on top)"));
    lbSuffix = at(label(fraFileDetails, QStringLiteral("Suffix")), 120, 870, 495, 255);
    txtSuffix = at(new QLineEdit(fraFileDetails), 600, 840, 975, 285);
    txtSuffix->setToolTip(QStringLiteral("Suffix for the squashed file"));
    txtSuffix->setMaxLength(10);
    chkTopMost = at(new StateCheckBox(QStringLiteral("TopMost"), fraFileDetails), 1920, 840, 1095, 255);
    chkTopMost->setToolTip(QStringLiteral("Shows application always on top"));

    // Max File Size
    fraSize = at(new QGroupBox(QStringLiteral("Max File Size"), this), 120, 1440, 3135, 2415);
    lbRealFileSize = at(label(fraSize, QStringLiteral("Real Size:")), 240, 240, 735, 255);
    txtActualSize = at(readOnlyBox(fraSize, QStringLiteral("Selected file's actual size in bytes")), 1440, 240, 1215, 285);
    lbEstimatedFileSize = at(label(fraSize, QStringLiteral("New Size:")), 240, 480, 735, 255);
    txtEstimatedSize = at(readOnlyBox(fraSize, QStringLiteral("Selected file's estimated new size in bytes")), 1440, 480, 1215, 285);
    static const Option sizeOptions[9] = {
        {"No Resize", "Make squashed file ALMOST as big as original", 120, 840, 1215},
        {"50 KB", "Max file size 50KB", 120, 1080, 735},
        {"100 KB", "Max file size 100KB", 120, 1320, 855},
        {"250 KB", "Max file size 250KB", 120, 1560, 855},
        {"User (Bytes):", "Select max file size (in Bytes)", 120, 1800, 1215},
        {"25%", "Max file size 25% of the original", 1920, 1080, 735},
        {"50%", "Max file size 50% of the original", 1920, 1320, 735},
        {"75%", "Max file size 75% of the original", 1920, 1560, 735},
        {"User (%):", "Select max file size (percent of original size)", 1920, 1800, 1095},
    };
    optSizeGroup = options(fraSize, sizeOptions, optSize);
    txtUserSize = at(numberBox(fraSize, QString(), QStringLiteral("Enter desired estimated file size (in Bytes)"), 10),
                     240, 2040, 1215, 285);
    txtUserSizePercent = at(numberBox(fraSize, QStringLiteral("100"),
                                      QStringLiteral("Enter desired max file size (percent of original)"), 3),
                            2280, 2040, 375, 285);
    verticalLine(fraSize, 1680, 840, 2280);

    // Picture Size
    fraPictureSize = at(new QGroupBox(QStringLiteral("Picture Size"), this), 120, 3960, 3135, 2175);
    lbRealPictureSize = at(label(fraPictureSize, QStringLiteral("Real Size:")), 240, 240, 735, 255);
    txtActualWidth = at(readOnlyBox(fraPictureSize, QStringLiteral("Selected file's actual width")), 1440, 240, 615, 285);
    lbX1 = at(label(fraPictureSize, QStringLiteral("x")), 2040, 240, 255, 255);
    txtActualHeight = at(readOnlyBox(fraPictureSize, QStringLiteral("Selected file's actual height")), 2280, 240, 615, 285);
    lbEstimatedPictureSize = at(label(fraPictureSize, QStringLiteral("New Size:")), 240, 480, 735, 255);
    txtEstimatedWidth = at(readOnlyBox(fraPictureSize, QStringLiteral("Selected file's estimated new width")), 1440, 480, 615, 285);
    lbX2 = at(label(fraPictureSize, QStringLiteral("x")), 2040, 480, 255, 255);
    txtEstimatedHeight = at(readOnlyBox(fraPictureSize, QStringLiteral("Selected file's estimated new height")), 2280, 480, 615, 285);
    static const Option resizeOptions[8] = {
        {"No Resize", "Keep exact original size", 120, 840, 1095},
        {"640x480", "Make destination 640x480", 120, 1080, 975},
        {"800x600", "Make destination 800x600", 120, 1320, 975},
        {"User (Pixels):", "Make destination custom size (Pixels)", 120, 1560, 1215},
        {"25%", "Make destination 25% of the original", 1920, 840, 735},
        {"50%", "Make destination 50% of the original", 1920, 1080, 735},
        {"75%", "Make destination 75% of the original", 1920, 1320, 735},
        {"User (%):", "Make destination custom size (Percent of the original)", 1920, 1560, 1095},
    };
    optResizeGroup = options(fraPictureSize, resizeOptions, optResize);
    txtWidth = at(numberBox(fraPictureSize, QString(), QStringLiteral("Enter new width (Pixels)"), 0), 240, 1800, 495, 285);
    lblX = at(label(fraPictureSize, QStringLiteral("x")), 720, 1800, 255, 255);
    txtHeight = at(numberBox(fraPictureSize, QString(), QStringLiteral("Enter new height (Pixels)"), 0), 960, 1800, 495, 285);
    txtWidthPercent = at(numberBox(fraPictureSize, QStringLiteral("100"), QStringLiteral("Enter new width (Percent)"), 3),
                         2040, 1800, 375, 285);
    Label1 = at(label(fraPictureSize, QStringLiteral("x")), 2400, 1800, 255, 255);
    txtHeightPercent = at(numberBox(fraPictureSize, QStringLiteral("100"), QStringLiteral("Enter new height (Percent)"), 3),
                          2640, 1800, 375, 285);
    verticalLine(fraPictureSize, 1680, 840, 2040);
    for (QAbstractButton *b : findChildren<QAbstractButton *>())
        if (qobject_cast<QCheckBox *>(b) || qobject_cast<QRadioButton *>(b))
            b->setStyle(compactStyle());
    for (QLabel *x : {lbX1, lbX2, lblX, Label1})
        x->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    // Thumbnails
    fraOriginal = at(new QGroupBox(QStringLiteral("Picture Thumbnails"), this), 3360, 120, 2295, 5295);
    lblPicture[0] = at(label(fraOriginal, QStringLiteral("Original")), 120, 360, 2055, 255);
    imgPicture = at(new ImageBox(fraOriginal), 120, 600, 2055, 2055);
    lblPicture[1] = at(label(fraOriginal, QStringLiteral("Squashed")), 120, 2880, 2055, 255);
    imgSquashed = at(new ImageBox(fraOriginal), 120, 3120, 2055, 2055);
    for (ImageBox *box : {imgPicture, imgSquashed})
        box->setToolTip(QStringLiteral("Click here to open this image in a new window"));

    // Bottom strip
    cmdSquash = at(new QPushButton(QStringLiteral(">>>> Squash <<<<"), this), 3360, 5640, 2295, 495);
    txtResult = at(readOnlyBox(this, QStringLiteral("This area shows action messages")), 120, 6240, 5535, 285);
    txtResult->setText(kNotYet);
    picScrollBar = at(new ProgressSurface(this), 120, 6360, 5535, 255);
    picScrollBar->setDrawMode(ProgressSurface::XorPen);
    picScrollBar->hide();
    lbEmail = at(label(this, QStringLiteral("<a href=\"mail\">%1</a>").arg(EmailAddress())), 1965, 6600, 1845, 195);
    lbEmail->setToolTip(QStringLiteral("Mail me if you have any comment"));
    lbEmail->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    QWidget *order[] = {txtFile, cmdOpen, chkAutoCommit, chkDropZone, txtSuffix, chkTopMost,
                        optSize[0], optSize[1], optSize[2], optSize[3], optSize[4], txtUserSize,
                        optSize[5], optSize[6], optSize[7], optSize[8], txtUserSizePercent,
                        optResize[0], optResize[1], optResize[2], optResize[3], txtWidth, txtHeight,
                        optResize[4], optResize[5], optResize[6], optResize[7], txtWidthPercent, txtHeightPercent,
                        cmdSquash};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

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
    if (m_squashing || m_batchRunning) {
        // Stop the running squash between two tries (it then writes nothing)
        // and close once it has returned.
        m_closeWhenDone = true;
        if (m_cancel)
            *m_cancel = true;
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmMain::ReadSettings()
{
    using modINIer::ReadIniValue;
    std::int16_t autoProcess = 0, topMost = 0, dropZone = 0;
    QString suffix, lastPath;
    skip([&] { autoProcess = Numbers::toInt16(ReadIniValue(QStringLiteral("Main"), QStringLiteral("AutoProcess"))); });
    skip([&] { topMost = Numbers::toInt16(ReadIniValue(QStringLiteral("Main"), QStringLiteral("TopMost"))); });
    skip([&] { dropZone = Numbers::toInt16(ReadIniValue(QStringLiteral("Main"), QStringLiteral("DropZone"))); });
    skip([&] { suffix = ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix")).left(10); });
    skip([&] { lastPath = ReadIniValue(QStringLiteral("Main"), QStringLiteral("LastUsedPath")); });
    if (autoProcess != 0 && autoProcess != 1)
        autoProcess = 0;
    if (dropZone != 0 && dropZone != 1)
        dropZone = 0;
    if (suffix.isEmpty())
        suffix = QStringLiteral("_squashed");
    if (lastPath.isEmpty())
        lastPath = programFolder() + clsPathER::Separator + QLatin1Char('.');
    chkAutoCommit->setState(autoProcess);
    chkTopMost->setState(topMost);   // a state other than 0, 1, 2 is refused: the box stays clear
    chkDropZone->setState(dropZone);
    txtSuffix->setText(suffix);
    skip([&] {
        clsPathER path;
        path.SetFullPath(lastPath);
        m_strLastUsedPath = clsPathER::FolderExists(path.GetFullPath()) ? lastPath : programFolder();
    });
    skip([&] { move(qRound(Numbers::toFloat(ReadIniValue(QStringLiteral("Form"), QStringLiteral("X"))) / 15.0f), y()); });
    skip([&] { move(x(), qRound(Numbers::toFloat(ReadIniValue(QStringLiteral("Form"), QStringLiteral("Y"))) / 15.0f)); });
}

void frmMain::WriteSettings()
{
    using modINIer::WriteIniValue;
    const auto quoted = [](const QString &text) { return QLatin1Char('"') + text + QLatin1Char('"'); };
    skip([&] { WriteIniValue(QStringLiteral("About"), QStringLiteral("Author"), QStringLiteral("tRoMbeLiX")); });
    skip([&] { WriteIniValue(QStringLiteral("About"), QStringLiteral("Date"), QStringLiteral("2005/10")); });
    skip([&] {
        const QDateTime now = QDateTime::currentDateTime();
        const QDate d = now.date();
        const QTime t = now.time();
        WriteIniValue(QStringLiteral("About"), QStringLiteral("Last Saved"),
                      quoted(QStringLiteral("%1/%2/%3 %4:%5:%6")
                                 .arg(d.year()).arg(d.month()).arg(d.day())
                                 .arg(t.hour()).arg(t.minute()).arg(t.second())));
    });
    skip([&] { WriteIniValue(QStringLiteral("Main"), QStringLiteral("AutoProcess"), QString::number(chkAutoCommit->state())); });
    skip([&] { WriteIniValue(QStringLiteral("Main"), QStringLiteral("TopMost"), QString::number(chkTopMost->state())); });
    skip([&] { WriteIniValue(QStringLiteral("Main"), QStringLiteral("DropZone"), QString::number(chkDropZone->state())); });
    skip([&] { WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), quoted(txtSuffix->text())); });
    skip([&] { WriteIniValue(QStringLiteral("Main"), QStringLiteral("LastUsedPath"), quoted(m_strLastUsedPath)); });
    skip([&] {
        if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))
            setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    });
    // Wayland does not tell a window where it stands: keep the saved place.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return;
    skip([&] { WriteIniValue(QStringLiteral("Form"), QStringLiteral("X"), Numbers::floatText(float(x()) * 15.0f)); });
    skip([&] { WriteIniValue(QStringLiteral("Form"), QStringLiteral("Y"), Numbers::floatText(float(y()) * 15.0f)); });
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
        urls << QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
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
    const auto percentOfActual = [this](double percent) {
        return QString::number(qint64(Numbers::roundHalfEven(Numbers::toDouble(txtActualSize->text()) * percent / 100.0)));
    };
    skip([&] {
        switch (Index) {
        case 0: txtEstimatedSize->setText(txtActualSize->text()); break;
        case 1: txtEstimatedSize->setText(QStringLiteral("51200")); break;
        case 2: txtEstimatedSize->setText(QStringLiteral("102400")); break;
        case 3: txtEstimatedSize->setText(QStringLiteral("256000")); break;
        case 4: txtEstimatedSize->setText(txtUserSize->text()); break;
        case 5: txtEstimatedSize->setText(percentOfActual(25)); break;
        case 6: txtEstimatedSize->setText(percentOfActual(50)); break;
        case 7: txtEstimatedSize->setText(percentOfActual(75)); break;
        case 8: txtEstimatedSize->setText(percentOfActual(Numbers::toDouble(txtUserSizePercent->text()))); break;
        default: break;
        }
    });
}

void frmMain::optResize_Click(std::int16_t Index)
{
    m_intResizeOption = Index;
    setInputBox(txtWidth, Index == 3);
    setInputBox(txtHeight, Index == 3);
    setInputBox(txtWidthPercent, Index == 7);
    setInputBox(txtHeightPercent, Index == 7);
    const auto whole = [](double v) { return QString::number(qint64(Numbers::roundHalfEven(v))); };
    // Width and height are separate statements: one side that cannot be
    // read leaves only its own estimate as it was.
    const auto side = [&](QLineEdit *estimate, QLineEdit *actual, QLineEdit *user, QLineEdit *percent,
                          const QString &fixed640, const QString &fixed800) {
        skip([&] {
            switch (Index) {
            case 0: estimate->setText(actual->text()); break;
            case 1: estimate->setText(fixed640); break;
            case 2: estimate->setText(fixed800); break;
            case 3: estimate->setText(user->text()); break;
            case 4:
            case 5:
            case 6: {
                const float fraction = float(Index == 4 ? 25 : Index == 5 ? 50 : 75) / 100.0f;
                estimate->setText(whole(Numbers::toDouble(actual->text()) * double(fraction)));
                break;
            }
            case 7:
                estimate->setText(whole(Numbers::toDouble(actual->text()) * Numbers::toDouble(percent->text()) / 100.0));
                break;
            default: break;
            }
        });
    };
    side(txtEstimatedWidth, txtActualWidth, txtWidth, txtWidthPercent, QStringLiteral("640"), QStringLiteral("800"));
    side(txtEstimatedHeight, txtActualHeight, txtHeight, txtHeightPercent, QStringLiteral("480"), QStringLiteral("600"));
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
                                     "All files|*.*"));
        dialog.FilterIndex(1);
        dialog.FileName(m_strLastUsedPath);
        dialog.ShowOpen();
        const QString chosen = dialog.FileName();
        if (chosen == m_strLastUsedPath)
            return;   // cancelled
        QStringList parts = chosen.split(QChar(0));
        const qsizetype empty = parts.count(QString());
        parts.resize(parts.size() - empty);
        std::vector<Queued> files;
        if (parts.size() > 1) {
            // Several files: the next dialog starts in the folder they came from.
            m_strLastUsedPath = parts[0] + clsPathER::Separator + QLatin1Char('.');
            chkAutoCommit->setState(1);
            for (qsizetype i = 1; i < parts.size(); ++i)
                files.push_back({parts[0] + clsPathER::Separator + parts[i], true});
        } else {
            clsPathER path;
            path.SetFullPath(chosen);
            m_strLastUsedPath = path.GetPath() + clsPathER::Separator + QLatin1Char('.');
            files.push_back({chosen, true});
        }
        enqueue(files);
    });
}

void frmMain::LoadFileAfterDragging(const QMimeData *Data, std::int16_t &)
{
    ErrorHandlers::report(m_boxes, [&] {
        std::vector<Queued> files;
        for (const QUrl &url : Data->urls())
            if (url.isLocalFile())
                files.push_back({url.toLocalFile(), false});
        if (files.size() > 1)
            chkAutoCommit->setState(1);
        enqueue(files);
    });
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    const auto hasFiles = [](const QMimeData *data) {
        if (data && data->hasUrls())
            for (const QUrl &url : data->urls())
                if (url.isLocalFile())
                    return true;
        return false;
    };
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

void frmMain::enqueue(const std::vector<Queued> &files)
{
    m_queue.insert(m_queue.end(), files.begin(), files.end());
    if (m_batchRunning || m_squashing) {
        showQueued();
        return;
    }
    processQueue();
}

void frmMain::showQueued()
{
    if (!m_queue.empty())
        txtResult->setText(txtResult->text().section(QStringLiteral(" ("), 0, 0) +
                           QStringLiteral(" (%1 more queued)").arg(m_queue.size()));
}

void frmMain::processQueue()
{
    if (m_batchRunning || m_squashing || m_queue.empty())
        return;
    m_batchRunning = true;
    cmdSquash->setEnabled(false);
    while (!m_queue.empty() && !m_closeWhenDone) {
        const Queued next = m_queue.front();
        m_queue.pop_front();
        if (next.fromDialog) {
            txtFile->setText(next.path);
            LoadFilePicture(txtFile->text());
        } else {
            // Between dropped files the window repaints and takes input.
            QCoreApplication::processEvents();
            if (m_closeWhenDone)
                break;
            LoadFilePicture(next.path);
        }
    }
    if (m_closeWhenDone)
        m_queue.clear();
    m_batchRunning = false;
    cmdSquash->setEnabled(true);
    if (m_closeWhenDone)
        QTimer::singleShot(0, this, &QWidget::close);
}

void frmMain::showViewer(const QImage &picture, float W, float H)
{
    if (!m_viewer)
        m_viewer = std::make_unique<frmPicture>();
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
    if (txtFile->text().isEmpty()) {
        m_boxes.show(QStringLiteral("No picture has been loaded"), MessageBoxes::Exclamation,
                     QStringLiteral("Picture Missing"));
        return;
    }
    QImage picture;
    skip([&] { picture = Picture::LoadPicture(txtFile->text()); });
    showViewer(picture, m_sngPictureWidth, m_sngPictureHeight);
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

void frmMain::LoadFilePicture(const QString &p_strFileName)
{
    try {
        const QImage picture = Picture::LoadPicture(p_strFileName);
        m_picture = picture;
        m_sngPictureWidth = float(picture.width());
        m_sngPictureHeight = float(picture.height());
        txtActualWidth->setText(Numbers::floatText(m_sngPictureWidth));
        txtActualHeight->setText(Numbers::floatText(m_sngPictureHeight));
        if (m_intResizeOption != 3) {
            txtWidth->setText(txtActualWidth->text());
            txtHeight->setText(txtActualHeight->text());
        }
        clsPathER file;
        file.SetFullPath(p_strFileName);
        txtActualSize->setText(QString::number(file.GetFileSize()));
        if (m_intSizeOption != 4)
            txtUserSize->setText(txtActualSize->text());
        imgPicture->setPicture(picture);
        imgSquashed->clear();
        txtFile->setText(p_strFileName);
        if (ProgressBar)
            ProgressBar->value(0);
        txtResult->setText(kNotYet);
        if (chkAutoCommit->state() != 0)
            cmdSquash_Click();
        optSize_Click(m_intSizeOption);
        optResize_Click(m_intResizeOption);
    } catch (...) {
        ErrorHandlers::showInvalidPicture(m_boxes);
    }
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
    switch (SquashTargets::Box(box)) {
    case SquashTargets::Box::UserSize: return txtUserSize;
    case SquashTargets::Box::UserSizePercent: return txtUserSizePercent;
    case SquashTargets::Box::Width: return txtWidth;
    case SquashTargets::Box::Height: return txtHeight;
    case SquashTargets::Box::WidthPercent: return txtWidthPercent;
    case SquashTargets::Box::HeightPercent: return txtHeightPercent;
    }
    return nullptr;
}

void frmMain::cmdSquash_Click()
{
    if (m_squashing)
        return;
    // After an unexpected error the result box comes back with the error,
    // instead of leaving the bar where the result should be.
    ErrorHandlers::report(m_boxes, [this] { squash(); }, [this](const AppError &e) {
        ShowProgress(false);
        txtResult->setText(e.reportText());
    });
}

void frmMain::squash()
{
    if (txtFile->text().isEmpty()) {
        m_boxes.show(QStringLiteral("Please select a picture to be squashed"), MessageBoxes::Exclamation,
                     QStringLiteral("No picture present"));
        return;
    }
    clsPathER input;
    input.SetFullPath(txtFile->text());
    const std::int32_t length = input.GetFileSize();

    const auto refuse = [this](const SquashTargets::Refusal &r) {
        m_boxes.show(r.text, MessageBoxes::Exclamation, r.title);
        QLineEdit *box = boxFor(int(r.focus));
        box->setFocus(Qt::OtherFocusReason);
        box->selectAll();
    };
    const auto limit = SquashTargets::ByteLimitRule(SquashTargets::GetSelectedOption(optSize, 9), length,
                                                    txtUserSize->text(), txtUserSizePercent->text());
    if (limit.refusal) {
        refuse(*limit.refusal);
        return;
    }
    m_lngMaxFileSize = limit.limit;
    const auto target = SquashTargets::TargetSizeRule(
        SquashTargets::GetSelectedOption(optResize, 8), m_sngPictureWidth, m_sngPictureHeight, txtWidth->text(),
        txtHeight->text(), txtWidthPercent->text(), txtHeightPercent->text());
    if (target.refusal) {
        refuse(*target.refusal);
        return;
    }
    m_sngNewWidth = target.width;
    m_sngNewHeight = target.height;

    bool continueAnyway = false;
    const QString name = txtFile->text();
    if ((name.right(3).toUpper() == QLatin1String("JPG") || name.right(4).toUpper() == QLatin1String("JPEG")) &&
        input.GetFileSize() <= m_lngMaxFileSize) {
        if (m_boxes.show(QStringLiteral("Picture is already within the file size limit.\r\n"
                                        "Do you want to continue on resizing the picture?"),
                         MessageBoxes::YesNoQuestion, QStringLiteral("Picture Size?")) != MessageBoxes::Yes)
            return;
        continueAnyway = true;
    }

    txtResult->setText(QStringLiteral("Squashing in progress...Please wait"));
    m_strSquashedFile = SquashCore::OutputPath(name, txtSuffix->text());
    ShowProgress(true);
    if (!ProgressBar)
        throw AppError(91, QStringLiteral("Quillmoss"), QStringLiteral("Object variable or With block variable not set"));
    ProgressBar->value(0);

    SquashCore::Request request;
    request.picture = m_picture;
    request.inputPath = name;
    request.maxFileSize = m_lngMaxFileSize;
    request.newWidth = m_sngNewWidth;
    request.newHeight = m_sngNewHeight;
    request.suffix = txtSuffix->text();
    request.continueAnyway = continueAnyway;

    // The core works on a thread of its own; this thread keeps its event
    // loop running and draws the bar once per try, in order.
    struct Shared
    {
        std::mutex mutex;
        std::vector<int> tries;
        bool done = false;
        SquashCore::Result result;
        std::exception_ptr error;
    };
    const auto shared = std::make_shared<Shared>();
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    const auto cancel = m_cancel;
    QEventLoop loop;
    QObject mailbox;   // posted draws die with it, should any be left
    std::exception_ptr drawError;
    const auto drain = [&, shared] {
        std::vector<int> tries;
        bool done;
        {
            std::lock_guard lock(shared->mutex);
            tries.swap(shared->tries);
            done = shared->done;
        }
        for (std::size_t i = 0; i < tries.size() && !drawError; ++i) {
            try {
                ProgressBar->value(std::int16_t(ProgressBar->value() + 10));
                ProgressBar->DrawStatus(*picScrollBar);
            } catch (...) {
                drawError = std::current_exception();
                *cancel = true;
            }
        }
        if (done)
            loop.quit();
    };
    const auto post = [&mailbox, drain] { QMetaObject::invokeMethod(&mailbox, drain, Qt::QueuedConnection); };

    m_squashing = true;
    const QPointer<QWidget> focused = focusWidget();
    cmdSquash->setEnabled(false);
    std::thread worker([request, shared, cancel, post] {
        try {
            SquashCore::Result result = SquashCore::Squash(request, [&](int q) {
                {
                    std::lock_guard lock(shared->mutex);
                    shared->tries.push_back(q);
                }
                post();
                return !cancel->load();
            });
            std::lock_guard lock(shared->mutex);
            shared->result = result;
        } catch (...) {
            std::lock_guard lock(shared->mutex);
            shared->error = std::current_exception();
        }
        {
            std::lock_guard lock(shared->mutex);
            shared->done = true;
        }
        post();
    });
    loop.exec();
    worker.join();
    m_squashing = false;
    cmdSquash->setEnabled(!m_batchRunning);
    if (focused)
        focused->setFocus();
    if (m_closeWhenDone && !m_batchRunning)
        QTimer::singleShot(0, this, &QWidget::close);
    // Files dropped or opened meanwhile: after this squash, in order.
    if (!m_batchRunning && !m_queue.empty() && !m_closeWhenDone)
        QTimer::singleShot(0, this, [this] { processQueue(); });
    const auto noteQueued = qScopeGuard([this] { showQueued(); });

    if (shared->error)
        std::rethrow_exception(shared->error);
    if (drawError)
        std::rethrow_exception(drawError);
    const SquashCore::Result &result = shared->result;
    switch (result.outcome) {
    case SquashCore::Outcome::Success:
        txtResult->setText(SquashCore::ResultText(result));
        imgSquashed->setPicture(Picture::LoadPicture(m_strSquashedFile));
        ProgressBar->value(100);
        ShowProgress(false);
        break;
    case SquashCore::Outcome::Failed:
        txtResult->setText(SquashCore::ResultText(result));
        ShowProgress(false);
        break;
    case SquashCore::Outcome::Cancelled:
        txtResult->setText(QStringLiteral("Squash cancelled: nothing was written"));
        ShowProgress(false);
        break;
    }
}
