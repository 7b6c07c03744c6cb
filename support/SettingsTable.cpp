#include "SettingsTable.h"

#include "AppError.h"
#include "Numbers.h"
#include "modINIer.h"

#include <algorithm>
#include <cmath>

namespace SettingsTable {
namespace {

QString raw(const Key &key)
{
    return modINIer::ReadIniValue(QString::fromLatin1(key.section), QString::fromLatin1(key.key));
}

thread_local Batch *t_batch = nullptr;

} // namespace

void put(const Key &key, const QString &text)
{
    const modINIer::IniValue value{QString::fromLatin1(key.section), QString::fromLatin1(key.key), text};
    if (!t_batch)
        return modINIer::WriteIniValue(value.section, value.key, value.value);
    // Refused now, as a write of its own would be, so that the rest still go.
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
        throw AppError(AppError::InvalidCall, QStringLiteral("Quillmoss.modINIer"));
    t_batch->m_values << value;
}

Batch::Batch() : m_outer(t_batch) { t_batch = this; }

Batch::~Batch() { t_batch = m_outer; }

void Batch::commit()
{
    if (m_values.isEmpty())
        return;
    modINIer::WriteIniValues(m_values);
    m_values.clear();
}

int readState(const Key &key)
{
    try {
        const int value = Numbers::toInt16(raw(key));
        if (value >= key.min && value <= key.max)
            return value;
    } catch (...) {
    }
    return 0;
}

QString readText(const Key &key)
{
    QString value;
    try {
        value = raw(key);
    } catch (...) {
    }
    if (key.maxLength > 0)
        value = value.left(key.maxLength);
    return value.isEmpty() ? QString::fromLatin1(key.fallback) : value;
}

std::optional<double> readTwips(const Key &key)
{
    try {
        const double value = double(Numbers::toFloat(raw(key)));
        if (std::isnan(value))
            return std::nullopt;
        return std::clamp(value, key.min, key.max);
    } catch (...) {
        return std::nullopt;
    }
}

void write(const Key &key, const QString &value)
{
    put(key, key.type == Type::Text ? QLatin1Char('"') + value + QLatin1Char('"') : value);
}

void write(const Key &key, int state) { put(key, QString::number(state)); }

void writeTwips(const Key &key, double twips) { put(key, Numbers::floatText(float(twips))); }

} // namespace SettingsTable
