#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

// The standard dialogs behind properties: the caller sets properties, calls
// a Show method (or writes its number to Action) and reads the results back
// from the same properties.
//
// On this platform the shell's own dialogs and launches (ShowRestart,
// ShowRun, ShowShutDown, ShowFormat, ShowIcon, ShowObjectProp,
// ShowFindFiles), ShowHelp and ShowPrinter (no print support is linked) do
// nothing; nothing here starts a process.
class clsCommonDialogs
{
public:
    // What a file dialog is asked for, in Qt's terms.
    struct FileRequest
    {
        QWidget *owner = nullptr;
        QString title;
        QStringList filters;      // "JPG (*.[jJ][pP][gG] ...)", one per entry
        int filterIndex = 0;      // 0-based; -1 when none is chosen
        QString folder;           // where the dialog starts
        QString file;             // the name to propose, if any
        bool save = false;
        bool multiple = false;
        bool mustExist = false;
        bool confirmOverwrite = false;
        QString defaultExt;
    };
    // Shows a file dialog: the chosen files as full paths, or nothing when
    // cancelled. Tests replace it with one that picks what a user would.
    using FileChooser = std::function<std::optional<QStringList>(const FileRequest &)>;
    static void SetFileChooser(FileChooser chooser);
    // Shows a folder browser over its owner, with a prompt and a start
    // folder: the folder chosen, or empty when cancelled. Tests replace it too.
    using FolderChooser = std::function<QString(QWidget *owner, const QString &prompt, const QString &start)>;
    static void SetFolderChooser(FolderChooser chooser);

    // The "|"-separated filter ("JPG|*.jpg|All files|*.*") as Qt name
    // filters. Patterns match without regard to case and "*.jpg" brings
    // "*.jpeg" along.
    static QStringList QtFilters(const QString &filter);

    void Action(std::int32_t New_Action);

    bool CancelError() const { return m_cancelError; }
    void CancelError(bool vData) { m_cancelError = vData; }
    QWidget *hOwner() const { return m_owner; }
    void hOwner(QWidget *New_hOwner) { m_owner = New_hOwner; }
    std::int32_t flags() const { return m_flags; }
    void flags(std::int32_t New_Flags) { m_flags = New_Flags; }
    QString DialogTitle() const { return m_dialogTitle; }
    void DialogTitle(const QString &sTitle) { m_dialogTitle = sTitle; }
    QString DialogPrompt() const { return m_dialogPrompt; }
    void DialogPrompt(const QString &New_Prompt) { m_dialogPrompt = New_Prompt; }
    QString AppName() const { return m_appName; }
    void AppName(const QString &New_AppName) { m_appName = New_AppName; }
    QIcon hIcon() const { return m_icon; }
    void hIcon(const QIcon &vData) { m_icon = vData; }
    bool Bold() const { return m_bold; }
    void Bold(bool bBold) { m_bold = bBold; }
    QString FontName() const { return m_fontName; }
    void FontName(const QString &sName) { m_fontName = sName; }
    std::int32_t FontSize() const { return m_fontSize; }
    void FontSize(std::int32_t lSize) { m_fontSize = lSize; }
    bool Italic() const { return m_italic; }
    void Italic(bool BItalic) { m_italic = BItalic; }
    bool StrikeThru() const { return m_strikeThru; }
    void StrikeThru(bool bStrikethru) { m_strikeThru = bStrikethru; }
    bool Underline() const { return m_underline; }
    void Underline(bool bUnderline) { m_underline = bUnderline; }
    QString DefaultExt() const { return m_defaultExt; }
    void DefaultExt(const QString &sDefExt) { m_defaultExt = sDefExt; }
    QString FileName() const { return m_fileName; }
    void FileName(const QString &sFileName) { m_fileName = sFileName; }
    QString FileTitle() const { return m_fileTitle; }
    void FileTitle(const QString &sTitle) { m_fileTitle = sTitle; }
    QString Filter() const { return m_filter; }
    void Filter(const QString &sFilter) { m_filter = sFilter; }
    std::int32_t FilterIndex() const { return m_filterIndex; }
    void FilterIndex(std::int32_t lIndex) { m_filterIndex = lIndex; }
    QString InitDir() const { return m_initDir; }
    void InitDir(const QString &sDir) { m_initDir = sDir; }
    std::int32_t IconSize() const { return m_iconSize == 16 ? 16 : 32; }
    void IconSize(std::int32_t nSize) { m_iconSize = nSize == 16 ? 16 : 32; }
    std::int32_t HelpCommand() const { return m_helpCommand; }
    void HelpCommand(std::int32_t lCommand) { m_helpCommand = lCommand; }
    QString HelpFile() const { return m_helpFile; }
    void HelpFile(const QString &sFile) { m_helpFile = sFile; }
    std::int32_t HelpKey() const { return m_helpKey; }
    void HelpKey(std::int32_t sKey) { m_helpKey = sKey; }
    std::int32_t RGBResult() const { return m_rgbResult; }
    void RGBResult(std::int32_t lValue) { m_rgbResult = lValue; }

    // Cancelled dialogs leave their output properties as they were and,
    // with CancelError set, throw AppError 0.
    void ShowOpen();
    void ShowSave();
    void ShowColor();
    void ShowFont();
    void ShowPrinter() {}
    void ShowHelp() {}
    void ShowAbout();
    QString ShowFolder();
    std::int32_t ShowFormat(std::int32_t iDrive = 0, std::int32_t iCapacity = 0, std::int32_t iFormatType = 0);
    void ShowIcon() {}
    void ShowRestart() {}
    void ShowRun() {}
    void ShowShutDown() {}
    void ShowObjectProp(const QString &sObjectName = QString(), const QString &sTab = QString());
    void ShowFindFiles() {}

private:
    FileRequest fileRequest(bool save) const;
    void cancelled() const;

    bool m_cancelError = false;
    QWidget *m_owner = nullptr;
    std::int32_t m_flags = 0;
    QString m_dialogTitle, m_dialogPrompt, m_appName;
    QIcon m_icon;
    bool m_bold = false, m_italic = false, m_strikeThru = false, m_underline = false;
    QString m_fontName;
    std::int32_t m_fontSize = 0;
    QString m_defaultExt, m_fileName, m_fileTitle, m_filter, m_initDir, m_helpFile;
    std::int32_t m_filterIndex = 0, m_iconSize = 0, m_helpCommand = 0, m_helpKey = 0, m_rgbResult = 0;
};
