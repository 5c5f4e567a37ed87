// LogMessage from several threads while the pending text is taken concurrently.

#include "core/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

void SplitLines(const std::string& chunk, std::vector<std::string>& lines) {
    if (chunk.empty()) return;
    size_t from = 0;
    while (true) {
        const size_t at = chunk.find("\r\n", from);
        lines.push_back(chunk.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) break;
        from = at + 2;
    }
}

TEST(LogThreads, NoLineIsLostOrTorn) {
    ClearPendingLog();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &running] {
            for (int i = 0; i < kPerThread; ++i)
                LogMessage("t" + std::to_string(t) + " m" + std::to_string(i));
            --running;
        });
    }
    // The log view's task takes the text while the writers write.
    std::vector<std::string> lines;
    while (running.load() > 0) SplitLines(TakePendingLog(), lines);
    for (auto& w : writers) w.join();
    SplitLines(TakePendingLog(), lines);

    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    const std::regex form(R"(\d\d:\d\d:\d\d> t(\d) m(\d+))");
    std::set<std::string> seen;
    std::vector<int> lastOfThread(kThreads, -1);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        const int t = std::stoi(m[1]);
        const int i = std::stoi(m[2]);
        EXPECT_EQ(i, lastOfThread[static_cast<size_t>(t)] + 1) << "each thread's lines stay in order";
        lastOfThread[static_cast<size_t>(t)] = i;
        seen.insert(line.substr(10));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
}

} // namespace
