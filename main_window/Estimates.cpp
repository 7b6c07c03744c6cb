#include "Estimates.h"

#include "Numbers.h"
#include "SquashTargets.h"

namespace Estimates {
namespace {

QString whole(double v) { return QString::number(qint64(Numbers::roundHalfEven(v))); }

} // namespace

std::optional<QString> FileSize(short index, const QString &txtActualSize, const QString &txtUserSize,
                                const QString &txtUserSizePercent)
{
    const auto percentOfActual = [&](double percent) {
        return whole(Numbers::toDouble(txtActualSize) * percent / 100.0);
    };
    switch (index) {
    case 0: return txtActualSize;
    case 1: case 2: case 3: return QString::number(SquashTargets::BytePresets[std::size_t(index - 1)].bytes);
    case 4: return txtUserSize;
    case 5: case 6: case 7: return percentOfActual(SquashTargets::PercentPresets[std::size_t(index - 5)]);
    case 8: return percentOfActual(Numbers::toDouble(txtUserSizePercent));
    default: return std::nullopt;
    }
}

std::optional<QString> PictureSide(short index, int side, const QString &actual, const QString &user,
                                   const QString &percent)
{
    switch (index) {
    case 0: return actual;
    case 1: case 2: {
        const auto &preset = SquashTargets::SizePresets[std::size_t(index - 1)];
        return QString::number(side == 0 ? preset.width : preset.height);
    }
    case 3: return user;
    case 4: case 5: case 6:
        return whole(Numbers::toDouble(actual) * SquashTargets::FractionSizeChoice(std::size_t(index - 4)).width);
    case 7: return whole(Numbers::toDouble(actual) * Numbers::toDouble(percent) / 100.0);
    default: return std::nullopt;
    }
}

} // namespace Estimates
