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

// Number of members of the two option arrays.
constexpr short SizeOptionCount = 9;     // optSize
constexpr short ResizeOptionCount = 8;   // optResize

// The presets, in the order of their option buttons.
struct BytePreset { const char *keyword; std::int32_t bytes; };
constexpr std::array<BytePreset, 3> BytePresets{{{"50KB", 50 * 1024}, {"100KB", 100 * 1024}, {"250KB", 250 * 1024}}};
struct SizePreset { const char *keyword; int width, height; };
constexpr std::array<SizePreset, 2> SizePresets{{{"640x480", 640, 480}, {"800x600", 800, 600}}};
// 25, 50 and 75 per cent, of the file's length or of each side.
constexpr std::array<int, 3> PercentPresets{25, 50, 75};

// The input boxes a refusal sends the focus to.
enum class Box { UserSize, UserSizePercent, Width, Height, WidthPercent, HeightPercent };

// A refused entry: the message box to show (style 48) and where the focus goes.
struct Refusal
{
    char message;    // 'A' to 'F'
    QString title;
    QString text;
    Box focus;
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

// The window's adapters: an option index and its box texts as a typed choice.
Checked<LimitChoice> SizeOptionChoice(short index, const QString &txtUserSize, const QString &txtUserSizePercent);
Checked<SizeChoice> ResizeOptionChoice(short index, const QString &txtWidth, const QString &txtHeight,
                                       const QString &txtWidthPercent, const QString &txtHeightPercent);

struct ByteLimit
{
    std::int32_t limit = 0;
    std::optional<Refusal> refusal;
};

struct TargetSize
{
    float width = 0;
    float height = 0;
    std::optional<Refusal> refusal;
};

// The byte limit for the selected optSize index and the input's length.
ByteLimit ByteLimitRule(short index, std::int32_t length, const QString &txtUserSize,
                        const QString &txtUserSizePercent);

// The target size for the selected optResize index and the picture's size.
TargetSize TargetSizeRule(short index, float pictureWidth, float pictureHeight, const QString &txtWidth,
                          const QString &txtHeight, const QString &txtWidthPercent,
                          const QString &txtHeightPercent);

// The last index in 0..count-1 whose member is checked, 0 when none is. A
// member that cannot be read is passed over. Works with any array whose
// members offer isChecked() (radio buttons) or convert to bool.
template <typename OptionArray>
short GetSelectedOption(const OptionArray &options, short count)
{
    short selected = 0;
    for (short i = 0; i < count; ++i) {
        try {
            bool checked;
            if constexpr (requires { options[i]->isChecked(); })
                checked = options[i]->isChecked();
            else
                checked = bool(options[i]);
            if (checked)
                selected = i;
        } catch (...) {
        }
    }
    return selected;
}

} // namespace SquashTargets
