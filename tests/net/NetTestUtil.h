#pragma once
// Helpers of the network tests: elapsed time, waiting for a condition, and a Close that is
// repeated from another thread until a blocked call has returned.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace nettest {

using namespace std::chrono_literals;

// Room above a deadline for thread start-up and scheduling on a busy (or sanitised) machine.
inline constexpr std::chrono::milliseconds kSlack{1500};

class Stopwatch {
public:
    std::chrono::milliseconds Elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     m_start);
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Polls cond every millisecond until it holds or the time is up.
inline bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Runs call on a thread of its own and calls close() repeatedly until call has returned (a Close
// that comes before the call starts to wait would be too early to show anything). Returns the
// time the call took.
inline std::chrono::milliseconds CloseWhileRunning(const std::function<void()>& call,
                                                   const std::function<void()>& close) {
    std::atomic<bool> done{false};
    Stopwatch watch;
    std::chrono::milliseconds took{};
    std::thread t([&] {
        call();
        took = watch.Elapsed();
        done = true;
    });
    std::this_thread::sleep_for(20ms); // let the call reach its wait; the loop below covers a slow start
    while (!done) {
        close();
        std::this_thread::sleep_for(5ms);
    }
    t.join();
    return took;
}

} // namespace nettest
