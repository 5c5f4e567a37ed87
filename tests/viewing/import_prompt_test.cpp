// The import prompt's field: what typing leaves in it and what it holds once validated.

#include "viewing/SampleRateField.h"

#include <gtest/gtest.h>

namespace {

TEST(SampleRateField, TypingKeepsSignedDigitsAndReplacesAnythingElse) {
    const struct {
        const char* typed;
        const char* shown;
    } cases[] = {
        {"", ""},       {"12", "12"},  {" 12 ", " 12 "}, {"+7", "+7"}, {"-5", "-5"},
        {"12a", "12"},  {"a12", "12"}, {"1.5", "1"},     {"abc", "0"}, {"-", "0"},
        {"0x10", "16"}, {"1 2", "1"},  {"\t60", "\t60"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SampleRateWhileTyping(MString(c.typed)).ToUtf8(), c.shown) << '"' << c.typed << '"';
}

TEST(SampleRateField, ValidationFallsBackTo100OutsideTheRange) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"5", 100},       {"6", 6},       {"60", 60},
        {"10000", 10000}, {"10001", 100}, {"", 100},
        {"-500", 100},    {" 250 ", 250}, {"99999999999999999999", 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SampleRateValue(MString(c.text)), c.value) << c.text;
        EXPECT_EQ(SampleRateValidated(MString(c.text)).ToUtf8(), std::to_string(c.value)) << c.text;
    }
    EXPECT_EQ(MString(kSampleRateInitial).ToUtf8(), "60");
}

} // namespace
