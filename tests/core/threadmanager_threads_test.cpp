// Worker threads: start, suspended start, stop, give-up with exit code 222.

#include "core/ThreadId.h"
#include "core/ThreadManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

template <class Cond>
bool WaitUntil(Cond cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

struct Worker {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<uint32_t> seenId{0};
};

// Runs until its manager asks it to stop.
int Cooperative(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    w->seenId = CurrentThreadId();
    w->started = true;
    while (!ThreadManager::CurrentThreadStopRequested()) std::this_thread::yield();
    return 7;
}

// Ignores the stop request; only its own release flag ends it.
int Stuck(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    w->started = true;
    while (!w->release.load()) std::this_thread::yield();
    return 5;
}

int Quick(void* arg) {
    static_cast<Worker*>(arg)->started = true;
    return 3;
}

TEST(ThreadManager, StopAllThreadsEndsCooperativeThreads) {
    ThreadManager tm;
    Worker a, b;
    MThreadHandle ha = tm.StartThread(Cooperative, &a);
    MThreadHandle hb = tm.StartThread(Cooperative, &b);
    ASSERT_TRUE(ha && hb);
    ASSERT_TRUE(WaitUntil([&] { return a.started && b.started; }));
    EXPECT_EQ(a.seenId.load(), ha.Id()) << "the id is known before the thread runs";
    EXPECT_NE(ha.Id(), hb.Id());
    ASSERT_NE(tm.FindThread(ha), nullptr);
    EXPECT_EQ(tm.FindThread(ha)->argument, &a);
    EXPECT_EQ(ha.ExitCode(), MThreadState::kStillActive);

    tm.StopAllThreads();
    EXPECT_EQ(tm.ThreadCount(), 0);
    EXPECT_EQ(tm.FindThread(ha), nullptr);
    EXPECT_TRUE(ha.Finished());
    EXPECT_EQ(ha.ExitCode(), 7);
    EXPECT_EQ(hb.ExitCode(), 7);
    EXPECT_FALSE(ThreadManager::CurrentThreadStopRequested()) << "not a managed thread";
}

TEST(ThreadManager, ThreadThatDoesNotEndIsGivenUpWithExitCode222) {
    static Worker stuck; // outlives the manager: the given-up thread still reads it
    stuck.release = false;
    ThreadManager tm;
    MThreadHandle h = tm.StartThread(Stuck, &stuck);
    ASSERT_TRUE(WaitUntil([&] { return stuck.started.load(); }));

    const auto start = std::chrono::steady_clock::now();
    tm.StopAllThreads();
    EXPECT_GE(std::chrono::steady_clock::now() - start, ThreadManager::kStopWait);
    EXPECT_EQ(tm.ThreadCount(), 0);
    EXPECT_EQ(h.ExitCode(), MThreadState::kTerminatedExitCode);
    EXPECT_TRUE(h.StopRequested());
    EXPECT_FALSE(h.Finished());

    // When it finally ends, it stays reported as given up.
    stuck.release = true;
    ASSERT_TRUE(WaitUntil([&] { return h.Finished(); }));
    EXPECT_EQ(h.ExitCode(), MThreadState::kTerminatedExitCode);
}

TEST(ThreadManager, SuspendedThreadRunsOnlyAfterResume) {
    ThreadManager tm;
    Worker w;
    MThreadHandle h = tm.StartThread(Quick, &w, true);
    ASSERT_TRUE(h);
    ASSERT_NE(tm.FindThread(h), nullptr);
    EXPECT_EQ(tm.FindThread(h)->flags, 1);
    EXPECT_FALSE(w.started.load());
    EXPECT_FALSE(h.Finished());

    EXPECT_TRUE(tm.ResumeThread(h));
    EXPECT_FALSE(tm.ResumeThread(h)) << "already running";
    ASSERT_TRUE(WaitUntil([&] { return h.Finished(); }));
    EXPECT_TRUE(w.started.load());
    EXPECT_EQ(h.ExitCode(), 3);

    ThreadManager other;
    EXPECT_FALSE(other.ResumeThread(h)) << "not one of its threads";
}

TEST(ThreadManager, StoppingANeverResumedThreadCancelsIt) {
    ThreadManager tm;
    Worker w;
    MThreadHandle h = tm.StartThread(Quick, &w, true);
    tm.StopAllThreads();
    ASSERT_TRUE(WaitUntil([&] { return h.Finished(); }));
    EXPECT_FALSE(w.started.load()) << "the function never ran";
    EXPECT_EQ(h.ExitCode(), MThreadState::kTerminatedExitCode);
}

TEST(ThreadManager, StartThreadDropsFinishedEntries) {
    ThreadManager tm;
    Worker first, second;
    MThreadHandle h1 = tm.StartThread(Quick, &first);
    ASSERT_TRUE(WaitUntil([&] { return h1.Finished(); }));
    EXPECT_EQ(tm.ThreadCount(), 1);
    MThreadHandle h2 = tm.StartThread(Quick, &second);
    EXPECT_EQ(tm.FindThread(h1), nullptr);
    EXPECT_EQ(h1.ExitCode(), 3) << "the handle still reads the exit code";
    ASSERT_TRUE(WaitUntil([&] { return h2.Finished(); }));
    EXPECT_FALSE(tm.StartThread(nullptr, nullptr)) << "no function, no thread";
}

TEST(ThreadManager, DestructorStopsTheThreads) {
    Worker w;
    MThreadHandle h;
    {
        ThreadManager tm;
        h = tm.StartThread(Cooperative, &w);
        ASSERT_TRUE(WaitUntil([&] { return w.started.load(); }));
    }
    EXPECT_TRUE(h.Finished());
    EXPECT_EQ(h.ExitCode(), 7);
}

} // namespace
