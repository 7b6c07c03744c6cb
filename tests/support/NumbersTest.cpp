#include "TestSupport.h"
#include "Numbers.h"

#include <clocale>
#include <gtest/gtest.h>

using namespace Numbers;

TEST(Numbers, LeadingNumberReadsOnlyTheStart)
{
    const std::pair<const char *, double> rows[] = {{"", 0},      {"abc", 0},  {"0042", 42},   {"500x", 500},
                                                    {"  12.5kb", 12.5}, {"-7", -7}, {"1e3", 1000}, {".", 0},
                                                    {"2147483648", 2147483648.0}};
    for (const auto &[text, value] : rows)
        EXPECT_EQ(leadingNumber(text), value) << text;
}

// Whole-text conversions refuse trailing text, round half to even and check
// their type's range.
TEST(Numbers, WholeTextConversionsAreStrict)
{
    const std::pair<const char *, int> ints[] = {{"  250 ", 250},  {"2.5", 2}, {"3.5", 4}, {"-2.5", -2},
                                                 {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}};
    for (const auto &[text, value] : ints)
        EXPECT_EQ(toInt32(text), value) << text;
    EXPECT_EQ(toInt16("32766.5"), 32766);
    EXPECT_FLOAT_EQ(toFloat("12.5"), 12.5f);
    EXPECT_DOUBLE_EQ(toDouble("-1.5e2"), -150.0);

    EXPECT_EQ(errorNumber([] { toInt32("500x"); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { toInt32(""); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { toDouble("1 2"); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { toFloat("12,5"); }), AppError::TypeMismatch);
    EXPECT_EQ(errorNumber([] { toInt32("2147483648"); }), AppError::Overflow);
    EXPECT_EQ(errorNumber([] { toInt16("32767.5"); }), AppError::Overflow);
    EXPECT_EQ(errorNumber([] { toInt16("-32769"); }), AppError::Overflow);
    EXPECT_EQ(errorNumber([] { toFloat("1e39"); }), AppError::Overflow);
    EXPECT_EQ(errorNumber([] { toDouble("1e999"); }), AppError::Overflow);
}

// Rounding half to even is owned by the limit and size tables and the
// progress bar's percent, which use it.
TEST(Numbers, FloatText)
{
    EXPECT_EQ(floatText(640.0f), "640");
    EXPECT_EQ(floatText(12.5f), "12.5");
    EXPECT_EQ(floatText(0.1f), "0.1");
    EXPECT_EQ(floatText(-9600.0f), "-9600");
}

// Under a comma-decimal locale (as Qt sets it from the environment) the
// point still reads as the decimal point, and far-out values still overflow.
TEST(Numbers, ConversionsIgnoreTheLocale)
{
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (Debian package locales-all)";
    EXPECT_DOUBLE_EQ(leadingNumber("12.5kb"), 12.5);
    EXPECT_FLOAT_EQ(toFloat("12.5"), 12.5f);
    EXPECT_EQ(toInt32("+2.5"), 2);
    EXPECT_DOUBLE_EQ(toDouble("-.5e1"), -5.0);
    EXPECT_EQ(toDouble("1e-999"), 0.0);
    EXPECT_EQ(errorNumber([] { toDouble("-0.01e311"); }), AppError::Overflow);
    EXPECT_EQ(errorNumber([] { toFloat("12,5"); }), AppError::TypeMismatch);
    std::setlocale(LC_ALL, before.c_str());
}
