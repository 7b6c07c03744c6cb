#pragma once

#include "modINIer.h"

#include <QList>
#include <QString>
#include <optional>

// Every key the windows keep in the settings file, with its type, its valid
// range and its default, read and written here only.
namespace SettingsTable {

enum class Type
{
    State,    // a check box state: a 16-bit whole number, `min`..`max`, else the default
    Text,     // quoted when written; at most `maxLength` characters read (0: no limit)
    Twips,    // a window edge; unreadable: none, out of range: clamped
    Plain,    // written as given, never read
};

struct Key
{
    const char *section;
    const char *key;
    Type type;
    double min = 0, max = 0;
    const char *fallback = "";
    int maxLength = 0;
};

inline constexpr Key AutoProcess{"Main", "AutoProcess", Type::State, 0, 1};
inline constexpr Key TopMost{"Main", "TopMost", Type::State, 0, 2};
inline constexpr Key DropZone{"Main", "DropZone", Type::State, 0, 1};
inline constexpr Key TotalSize{"Main", "TotalSize", Type::State, 0, 1};
inline constexpr Key Suffix{"Main", "Suffix", Type::Text, 0, 0, "_squashed", 10};
inline constexpr Key LastUsedPath{"Main", "LastUsedPath", Type::Text};   // default: the program's folder
inline constexpr Key MetadataPolicy{"Main", "Metadata", Type::Text, 0, 0, "mail", 4};   // mail, none or all
// Far beyond any screen, and well inside what a 32-bit pixel position holds.
inline constexpr double TwipsLimit = 15.0 * 1e6;
inline constexpr Key FormX{"Form", "X", Type::Twips, -TwipsLimit, TwipsLimit};
inline constexpr Key FormY{"Form", "Y", Type::Twips, -TwipsLimit, TwipsLimit};
inline constexpr Key DropZoneX{"DropZone", "X", Type::Twips, -TwipsLimit, TwipsLimit};
inline constexpr Key DropZoneY{"DropZone", "Y", Type::Twips, -TwipsLimit, TwipsLimit};
inline constexpr Key Author{"About", "Author", Type::Plain};
inline constexpr Key Date{"About", "Date", Type::Plain};
inline constexpr Key LastSaved{"About", "Last Saved", Type::Text};

// A State key: its value, or its default (0) when unreadable or out of range.
int readState(const Key &key);
// A Text key: its value cut to its length, or its default when empty.
QString readText(const Key &key);
// A Twips key: its value clamped to the key's range; none when unreadable.
std::optional<double> readTwips(const Key &key);

// Collects the writes made while it lives (on this thread) and writes them
// to the file at once with commit(): one read, one replacement, instead of
// one of each for every key. Writes not committed are dropped.
class Batch
{
public:
    Batch();
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    // Failures are thrown (AppError), as write() throws them.
    void commit();

private:
    friend void put(const Key &key, const QString &text);
    QList<modINIer::IniValue> m_values;
    Batch *m_outer;
};

// Writes the value in the key's form. Failures are thrown (AppError).
void write(const Key &key, const QString &value);
void write(const Key &key, int state);
void writeTwips(const Key &key, double twips);

} // namespace SettingsTable
