#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <optional>

// The two rules that turn the window's choices into the numbers a squash
// works to, with the checks of their input boxes.
namespace SquashTargets {

// Number of members of the two option arrays.
constexpr short SizeOptionCount = 9;     // optSize
constexpr short ResizeOptionCount = 8;   // optResize

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

// The byte limit for the selected optSize index and the input's length. A
// box text whose leading number passes its check but which is not a number
// as a whole throws AppError 13 (6 when out of range).
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
