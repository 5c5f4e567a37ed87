// Log line format, pending-text limit and mirror.

#include "core/Log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ClearPendingLog(); }
    void TearDown() override {
        SetLogMirror(nullptr, nullptr);
        ClearPendingLog();
    }
};

TEST_F(LogTest, LinesCarryTheTimeOfDayAndAreSeparatedByCrLf) {
    LogMessage("Устройство найдено");
    LogMessage("second");
    const std::string text = TakePendingLog();
    const std::regex expected(R"(\d\d:\d\d:\d\d> Устройство найдено\r\n\d\d:\d\d:\d\d> second)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_EQ(TakePendingLog(), "") << "taking empties the pending text";

    LogMessage("after");
    EXPECT_TRUE(std::regex_match(TakePendingLog(), std::regex(R"(\d\d:\d\d:\d\d> after)")))
        << "the first line after emptying has no line break";
}

TEST_F(LogTest, PendingTextAboveTheLimitIsDroppedBeforeTheNextLine) {
    // Each line is "HH:MM:SS> " plus 990 characters, 1003 with its separator: 50 lines pass the limit.
    const std::string chunk(990, 'x');
    for (int i = 0; i < 50; ++i) LogMessage(chunk);
    const std::string all = TakePendingLog();
    EXPECT_GT(all.size(), kLogPendingLimit) << "kept until the next line arrives";
    size_t breaks = 0;
    for (size_t at = all.find("\r\n"); at != std::string::npos; at = all.find("\r\n", at + 2)) ++breaks;
    EXPECT_EQ(breaks, 49u);

    for (int i = 0; i < 50; ++i) LogMessage(chunk);
    LogMessage("newest");
    const std::string text = TakePendingLog();
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d> newest)"))) << text.substr(0, 40);
}

TEST_F(LogTest, LimitCountsCharactersNotBytes) {
    // 30,000 Cyrillic characters are 60,000 bytes but below the limit of characters.
    std::string cyrillic;
    for (int i = 0; i < 30'000; ++i) cyrillic += "ж";
    LogMessage(cyrillic);
    LogMessage("kept");
    const std::string text = TakePendingLog();
    EXPECT_GT(text.size(), 60'000u);
    EXPECT_EQ(text.substr(text.size() - 4), "kept");
}

TEST_F(LogTest, MirrorSeesEachLineWithoutSeparator) {
    std::vector<std::string> mirrored;
    SetLogMirror([](std::string_view line,
                    void* ctx) { static_cast<std::vector<std::string>*>(ctx)->emplace_back(line); },
                 &mirrored);
    LogMessage("one");
    LogMessage("two");
    SetLogMirror(nullptr, nullptr);
    LogMessage("three");
    ASSERT_EQ(mirrored.size(), 2u);
    EXPECT_TRUE(std::regex_match(mirrored[0], std::regex(R"(\d\d:\d\d:\d\d> one)"))) << mirrored[0];
    EXPECT_TRUE(std::regex_match(mirrored[1], std::regex(R"(\d\d:\d\d:\d\d> two)"))) << mirrored[1];
}

} // namespace
