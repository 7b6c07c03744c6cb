#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>

// What a squash works to: a byte limit and a picture size. The presets live
// here once; the window's option buttons and the command line's keywords
// both turn into the typed choices below, and only those become numbers.
namespace SquashTargets {

// The presets: 50, 100 and 250 KB (the command line reads them as any size
// with a unit), two picture sizes, and three fractions.
constexpr std::array<std::int32_t, 3> BytePresets{50 * 1024, 100 * 1024, 250 * 1024};
struct SizePreset { const char *keyword; int width, height; };
constexpr std::array<SizePreset, 2> SizePresets{{{"640x480", 640, 480}, {"800x600", 800, 600}}};
// 25, 50 and 75 per cent, of the file's length or of each side.
constexpr std::array<int, 3> PercentPresets{25, 50, 75};

// A refused entry: the message to show (title and text), and for a size
// which of its two numbers was refused.
struct Refusal
{
    enum class Side { Only, Width, Height };
    QString title;
    QString text;
    Side side = Side::Only;
};

// The byte limit asked for, before the input's length is known.
struct LimitChoice
{
    enum class Kind { BelowOriginal, Bytes, Fraction, Percent };
    Kind kind = Kind::BelowOriginal;
    double value = 0;   // bytes; fraction 0.25/0.5/0.75; or a typed percentage
};

// The picture size asked for, before the picture is known.
struct SizeChoice
{
    enum class Kind { Original, Pixels, Fraction, Percent };
    Kind kind = Kind::Original;
    double width = 0, height = 0;   // pixels; a fraction (both sides); or typed percentages
};

// The numbers of one squash.
struct Target
{
    std::int32_t bytes = 0;
    float width = 0, height = 0;
};

// A typed choice, or the refusal of the text it was read from.
template <typename Choice>
struct Checked
{
    Choice choice;
    std::optional<Refusal> refusal;
};

// The user's own entries, checked by their leading number. A text whose
// leading number passes but which is not a number as a whole throws AppError
// 13 (6 when out of range).
Checked<LimitChoice> UserBytes(const QString &text);
Checked<LimitChoice> UserPercent(const QString &text);
Checked<SizeChoice> UserPixels(const QString &width, const QString &height);
Checked<SizeChoice> UserPercentSize(const QString &width, const QString &height);

LimitChoice BytePresetChoice(std::size_t preset);
LimitChoice FractionChoice(std::size_t preset);
SizeChoice SizePresetChoice(std::size_t preset);
SizeChoice FractionSizeChoice(std::size_t preset);

// The numbers for a file of `length` bytes and a picture of the given size.
std::int32_t ByteLimitFor(const LimitChoice &choice, std::int32_t length);
void SizeFor(const SizeChoice &choice, float pictureWidth, float pictureHeight, float &width, float &height);
Target TargetFor(const LimitChoice &limit, const SizeChoice &size, std::int32_t length, float pictureWidth,
                 float pictureHeight);

// The byte figure a choice stands for, before the limit is taken from it:
// what the window shows as the new size. Throws AppError 6 beyond 32 bits.
std::int32_t ShownFileSize(const LimitChoice &choice, double length);

// The picture size the window shows for a choice. It differs from SizeFor
// only for typed percentages, which it forms as p x side / 100 where the
// squash forms p x (side / 100): 50% of 1003 shows 502 and scales to 501.
void ShownSize(const SizeChoice &choice, float pictureWidth, float pictureHeight, double &width, double &height);

} // namespace SquashTargets
