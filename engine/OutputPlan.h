#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

// Where the squashed files of one batch go: beside each input (or in one
// folder), named after it with the suffix and ".jpg". A file this batch has
// already written is never replaced by a later input: that input gets a name
// that shows where it came from (IMG_0001.JPG, then IMG_0001.HEIC gives
// IMG_0001_HEIC_squashed.jpg). A file left by an earlier batch is replaced.
class OutputPlan
{
public:
    // The longest suffix taken.
    static constexpr int MaxSuffixLength = 10;

    // Throws AppError 5 for a suffix longer than MaxSuffixLength or holding
    // a path separator (it would write outside the chosen folder).
    static void CheckSuffix(const QString &suffix);

    // The plain output path: the input's folder (or destFolder), its base
    // name (the whole name when it has no dot), the suffix and ".jpg".
    // Throws as CheckSuffix does.
    static QString PathFor(const QString &inputPath, const QString &suffix, const QString &destFolder = QString());

    // Throws as CheckSuffix does.
    explicit OutputPlan(const QString &suffix = QStringLiteral("_squashed"), const QString &destFolder = QString());

    struct Name
    {
        QString path;       // where this input's squash is written
        QString takenBy;    // empty, or the earlier input whose output has the plain name
        QString plainPath;  // the plain name, which takenBy holds
        bool renamed() const { return !takenBy.isEmpty(); }
    };

    // The output for the next input of the batch, claimed for it: call in
    // input order. Safe from any thread.
    Name Claim(const QString &inputPath);

    const QString &suffix() const { return m_suffix; }
    const QString &destFolder() const { return m_destFolder; }

private:
    QString m_suffix;
    QString m_destFolder;
    QMutex m_mutex;
    QHash<QString, QString> m_claimed;   // absolute output path -> the input that has it
};
