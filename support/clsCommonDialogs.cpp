#include "clsCommonDialogs.h"

#include "AppError.h"

#include <QColorDialog>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <algorithm>
#include <QFileInfo>
#include <QFontDialog>
#include <QMessageBox>

namespace {

constexpr std::int32_t kAllowMultiSelect = 0x200;
constexpr std::int32_t kFileMustExist = 0x1000;
constexpr std::int32_t kOverwritePrompt = 0x2;

const QString kSource = QStringLiteral("Quillmoss.clsCommonDialogs");

std::optional<QStringList> qtChooser(const clsCommonDialogs::FileRequest &r)
{
    QFileDialog dialog(r.owner, r.title, r.folder);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(r.save ? QFileDialog::AnyFile
                              : r.multiple ? QFileDialog::ExistingFiles
                              : r.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !r.confirmOverwrite);
    if (!r.filters.isEmpty()) {
        dialog.setNameFilters(r.filters);
        if (r.filterIndex >= 0 && r.filterIndex < r.filters.size())
            dialog.selectNameFilter(r.filters[r.filterIndex]);
    }
    if (!r.file.isEmpty())
        dialog.selectFile(r.file);
    if (!r.defaultExt.isEmpty())
        dialog.setDefaultSuffix(r.defaultExt);
    // Wide enough that the size and date columns show whole.
    dialog.resize(dialog.size().expandedTo(QSize(820, 480)));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles();
}

clsCommonDialogs::FileChooser &chooser()
{
    static clsCommonDialogs::FileChooser c = qtChooser;
    return c;
}

// "*.jpg" matching JPG, Jpg, ... too.
QString caseless(const QString &pattern)
{
    QString out;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper())
            out += QLatin1Char('[') + c.toLower() + c.toUpper() + QLatin1Char(']');
        else
            out += c;
    }
    return out;
}

QColor colourOf(std::int32_t bgr)
{
    const auto v = std::uint32_t(bgr);
    return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
}

std::int32_t bgrOf(const QColor &c) { return std::int32_t(c.red() | (c.green() << 8) | (c.blue() << 16)); }

} // namespace

void clsCommonDialogs::SetFileChooser(FileChooser c) { chooser() = c ? std::move(c) : FileChooser(qtChooser); }

namespace {

QString qtFolderChooser(QWidget *owner, const QString &prompt, const QString &start)
{
    return QFileDialog::getExistingDirectory(owner, prompt, start);
}

clsCommonDialogs::FolderChooser &folderChooser()
{
    static clsCommonDialogs::FolderChooser c = qtFolderChooser;
    return c;
}

} // namespace

void clsCommonDialogs::SetFolderChooser(FolderChooser c)
{
    folderChooser() = c ? std::move(c) : FolderChooser(qtFolderChooser);
}

QStringList clsCommonDialogs::QtFilters(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (QString p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            p = p.trimmed();
            if (p == QLatin1String("*.*")) {
                patterns << QStringLiteral("*");
                continue;
            }
            patterns << caseless(p);
            if (p.compare(QLatin1String("*.jpg"), Qt::CaseInsensitive) == 0)
                patterns << caseless(QStringLiteral("*.jpeg"));
        }
        filters << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters;
}

void clsCommonDialogs::Action(std::int32_t New_Action)
{
    switch (New_Action) {
    case 1: ShowOpen(); break;
    case 2: ShowSave(); break;
    case 3: ShowColor(); break;
    case 4: ShowFont(); break;
    case 5: ShowPrinter(); break;
    case 6: ShowHelp(); break;
    case 7: ShowAbout(); break;
    case 8: ShowFolder(); break;
    case 9: ShowFormat(); break;
    case 10: ShowIcon(); break;
    case 12: ShowRestart(); break;
    case 13: ShowRun(); break;
    case 14: ShowShutDown(); break;
    default: break;   // 11 and the rest: nothing
    }
}

clsCommonDialogs::FileRequest clsCommonDialogs::fileRequest(bool save) const
{
    FileRequest r;
    r.owner = m_owner;
    r.title = m_dialogTitle;
    r.filters = QtFilters(m_filter);
    r.filterIndex = m_filterIndex - 1;
    r.save = save;
    r.multiple = !save && (m_flags & kAllowMultiSelect);
    r.mustExist = !save && (m_flags & kFileMustExist);
    r.confirmOverwrite = save && (m_flags & kOverwritePrompt);
    r.defaultExt = m_defaultExt;
    // FileName may name a start folder ("folder/.") or a file to propose.
    const QFileInfo given(m_fileName);
    if (!m_fileName.isEmpty() && given.isDir()) {
        r.folder = given.absoluteFilePath();
    } else {
        if (!m_fileName.isEmpty() && given.absoluteDir().exists()) {
            r.folder = given.absolutePath();
            r.file = given.fileName();
        }
        if (r.folder.isEmpty())
            r.folder = m_initDir.isEmpty() ? QCoreApplication::applicationDirPath() : m_initDir;
    }
    return r;
}

void clsCommonDialogs::cancelled() const
{
    if (m_cancelError)
        throw AppError(0, kSource, QString());
}

void clsCommonDialogs::ShowOpen()
{
    const auto chosen = chooser()(fileRequest(false));
    if (!chosen || chosen->isEmpty())
        return cancelled();
    const QFileInfo first(chosen->front());
    m_fileTitle = first.fileName();
    if (chosen->size() == 1) {
        m_fileName = first.absoluteFilePath();
        return;
    }
    // Several files: a folder, then each name relative to it, NUL between
    // them. Files from several folders get their common parent folder, so
    // that every name still leads to the file that was chosen.
    QStringList paths;
    for (const QString &path : *chosen)
        paths << QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString folder = QFileInfo(paths.front()).absolutePath();
    const auto inside = [&](const QString &path) {
        return folder == QLatin1String("/") || path.startsWith(folder + QLatin1Char('/'));
    };
    while (!std::all_of(paths.begin(), paths.end(), inside))
        folder = QFileInfo(folder).absolutePath();
    QStringList pieces{folder};
    const QDir base(folder);
    for (const QString &path : paths)
        pieces << base.relativeFilePath(path);
    m_fileName = pieces.join(QChar(0));
}

void clsCommonDialogs::ShowSave()
{
    const auto chosen = chooser()(fileRequest(true));
    if (!chosen || chosen->isEmpty())
        return cancelled();
    const QFileInfo file(chosen->front());
    m_fileName = file.absoluteFilePath();
    m_fileTitle = file.fileName();
}

void clsCommonDialogs::ShowColor()
{
    const QColor chosen = QColorDialog::getColor(colourOf(m_rgbResult), m_owner);
    if (!chosen.isValid())
        return cancelled();
    m_rgbResult = bgrOf(chosen);
}

void clsCommonDialogs::ShowFont()
{
    QFont initial(m_fontName, m_fontSize > 0 ? m_fontSize : -1, m_bold ? QFont::Bold : QFont::Normal, m_italic);
    initial.setUnderline(m_underline);
    initial.setStrikeOut(m_strikeThru);
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, initial, m_owner);
    if (!ok)
        return cancelled();
    m_fontName = chosen.family();
    m_fontSize = std::int32_t(chosen.pointSizeF());
    m_bold = chosen.bold();
    m_italic = chosen.italic();
    m_underline = chosen.underline();
    m_strikeThru = chosen.strikeOut();
}

void clsCommonDialogs::ShowAbout()
{
    QMessageBox::about(m_owner, m_appName, m_dialogPrompt);
}

QString clsCommonDialogs::ShowFolder()
{
    const QString folder = folderChooser()(m_owner, m_dialogPrompt, m_initDir);
    if (folder.isEmpty())
        return QString();
    m_initDir = folder;
    return folder;
}

std::int32_t clsCommonDialogs::ShowFormat(std::int32_t, std::int32_t, std::int32_t) { return 0; }

void clsCommonDialogs::ShowObjectProp(const QString &, const QString &) {}
