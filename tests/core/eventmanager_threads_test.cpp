// Raising events from worker threads while the main thread delivers them.

#include "core/MEventManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

class Counter : public MEventCallback {
public:
    int OnEvent(int id, int count, void*, int value) override {
        counts[{id, value}] += count;
        return 0;
    }
    std::map<std::pair<int, int>, long> counts; // main thread only
};

TEST(EventManagerThreads, RaisingFromWorkersLosesNoRaising) {
    ASSERT_EQ(GetEventManager(false), nullptr);
    MEventManager* em = GetEventManager(true);
    Counter counter;
    em->Subscribe(&counter, 1, 0);
    em->Subscribe(&counter, 3, 0);

    constexpr int kThreads = 2;
    constexpr int kRaises = 2000;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> raisers;
    for (int t = 0; t < kThreads; ++t) {
        raisers.emplace_back([t, &running] {
            MEventManager* m = GetEventManager(false);
            for (int i = 0; i < kRaises; ++i) {
                m->Raise(1, nullptr, 0); // merged with a pending twin when there is one
                m->Raise(3, nullptr, t);
            }
            --running;
        });
    }
    // At most three distinct events are ever pending, so the queue cannot overflow.
    while (running.load() > 0) em->Run();
    for (auto& t : raisers) t.join();
    em->Run();

    EXPECT_EQ((counter.counts[{1, 0}]), kThreads * kRaises);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ((counter.counts[{3, t}]), kRaises);
    ShutdownEventManager();
}

} // namespace
