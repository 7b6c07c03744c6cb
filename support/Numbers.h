#pragma once

#include <QString>
#include <cstdint>

// The program's number rules for text boxes and computed sizes. Checks read
// the leading number of a text; values use the conversion of the whole text.
namespace Numbers {

// The number written at the start of the text, 0 when the text is empty or
// does not start with one ("0042" gives 42, "500x" gives 500).
double leadingNumber(const QString &text);

// The whole text (blanks around it allowed) as a number. A text that is not
// a number as a whole throws AppError 13 "Type mismatch"; a value outside
// the type's range throws 6 "Overflow". Integers round half to even.
std::int16_t toInt16(const QString &text);
std::int32_t toInt32(const QString &text);
float toFloat(const QString &text);
double toDouble(const QString &text);

// A double rounded to a whole number, an exact half going to the even one.
double roundHalfEven(double value);

// A double rounded half to even and checked into a 32-bit integer
// (6 "Overflow" outside the range).
std::int32_t roundToInt32(double value);

// The shortest decimal text that reads back as the same float ("640", "12.5").
QString floatText(float value);

} // namespace Numbers
