#include "frmMain.h"

#include "DigitsOnly.h"
#include "ImageBox.h"
#include "OutputPlan.h"
#include "ProgressSurface.h"

#include <QApplication>
#include <QFrame>
#include <QProxyStyle>

// The window's designed layout, in twips.

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

// Light yellow with black text in every state: a dark desktop theme would
// otherwise keep its white text on the yellow.
void lightYellow(QWidget *box)
{
    QPalette palette = box->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, kLightYellow);
        palette.setColor(group, QPalette::Text, Qt::black);
    }
    box->setPalette(palette);
}

QLineEdit *readOnlyBox(QWidget *parent, const QString &tip)
{
    auto *box = new QLineEdit(parent);
    box->setReadOnly(true);
    box->setToolTip(tip);
    lightYellow(box);
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

} // namespace

void frmMain::buildControls()
{
    QFont f(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    f.setPixelSize(11);
    setFont(f);
    setFixedSize(384, 457);
    // A fixed size: no maximize button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
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
    cmdOpen->setAutoDefault(true);   // Enter presses the focused button
    cmdOpen->setToolTip(QStringLiteral("Click here to browse to select the file(s)"));
    chkAutoCommit = at(new StateCheckBox(QStringLiteral("Auto-Commit"), fraFileDetails), 120, 600, 1223, 255);
    chkAutoCommit->setToolTip(QStringLiteral("Process file(s) as soon as opened"));
    chkDropZone = at(new StateCheckBox(QStringLiteral("DropZone"), fraFileDetails), 1920, 600, 1095, 255);
    chkDropZone->setToolTip(QStringLiteral("Enables drag'n'drop target window (always on top)"));
    lbSuffix = at(label(fraFileDetails, QStringLiteral("Suffix")), 120, 870, 495, 255);
    txtSuffix = at(new QLineEdit(fraFileDetails), 600, 840, 975, 285);
    txtSuffix->setToolTip(QStringLiteral("Suffix for the squashed file"));
    txtSuffix->setMaxLength(OutputPlan::MaxSuffixLength);
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
    // Wide enough for its result: "Squashed: 96 KB, 92%, 43.6 dB".
    lblPicture[1] = at(label(fraOriginal, QStringLiteral("Squashed")), 120, 2880, 2160, 255);
    imgSquashed = at(new ImageBox(fraOriginal), 120, 3120, 2055, 2055);
    for (ImageBox *box : {imgPicture, imgSquashed})
        box->setToolTip(QStringLiteral("Click here to open this image in a new window"));
    lblFit = at(label(fraOriginal, QString()), 240, 3720, 1815, 855);
    lblFit->setWordWrap(true);
    // Readable over the failed picture behind it.
    lblFit->setAutoFillBackground(true);
    lblFit->setFrameShape(QFrame::Box);
    lblFit->setMargin(2);
    lblFit->setAlignment(Qt::AlignCenter);
    lblFit->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    lblFit->setToolTip(QStringLiteral("Squash again at the largest size that fits"));
    lblFit->hide();

    // Bottom strip
    cmdSquash = at(new QPushButton(QStringLiteral(">>>> Squash <<<<"), this), 3360, 5640, 2295, 495);
    cmdSquash->setAutoDefault(true);
    txtResult = at(new ResultBox(this), 120, 6240, 5535, 285);
    txtResult->setToolTip(QStringLiteral("This area shows action messages"));
    lightYellow(txtResult);
    txtResult->setText(NotYet());
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
}
