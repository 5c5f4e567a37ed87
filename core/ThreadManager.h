#pragma once
// Owner of worker threads. Used as a base class (the HID transport) or as a member (the HTTP
// client). A worker function gets the user argument and returns its exit code.
//
// Stopping: StopAllThreads raises every thread's stop flag and waits up to 100 ms for each one.
// Threads cannot be killed safely here, so a thread that has not ended by then is detached and
// reported with exit code 222; worker loops therefore poll ThreadManager::CurrentThreadStopRequested()
// (or a flag of their own).
// An owner that derives from ThreadManager must call StopAllThreads in its own destructor, before
// the members its threads use are destroyed.

#include "core/MCriticalSection.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using MThreadFunc = int (*)(void* argument);

// State shared by a thread and everybody holding its handle; outlives the manager's entry.
class MThreadState {
public:
    // Exit code of a thread that is still running.
    static constexpr int kStillActive = 259;
    // Exit code of a thread that did not end when it was stopped.
    static constexpr int kTerminatedExitCode = 222;

    uint32_t Id() const { return m_id; }
    bool Finished() const { return m_finished.load(std::memory_order_acquire); }
    int ExitCode() const { return m_exitCode.load(std::memory_order_acquire); }
    bool StopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }

private:
    friend class ThreadManager;
    friend class MThread;

    explicit MThreadState(uint32_t id) : m_id(id) {}

    // Sets the exit code once; the first of "function returned" and "given up" wins.
    bool SetExitCode(int code);
    bool WaitStarted(); // suspended threads block here; false when cancelled before resuming
    bool Resume();
    bool Cancel();
    bool WaitFinished(std::chrono::milliseconds timeout);
    void MarkFinished();

    const uint32_t m_id;
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_exitCode{kStillActive};
    std::atomic<bool> m_stopRequested{false}; // stays raised once set, also for a thread given up
    std::mutex m_mutex;                       // guards the two flags below and pairs with m_cv
    std::condition_variable m_cv;
    bool m_released = false; // resumed (or never suspended)
    bool m_cancelled = false;
};

// What StartThread returns: a shared reference to the thread's state. Empty when creation failed.
class MThreadHandle {
public:
    MThreadHandle() = default;
    explicit operator bool() const { return m_state != nullptr; }
    bool operator==(const MThreadHandle& other) const { return m_state == other.m_state; }

    uint32_t Id() const { return m_state ? m_state->Id() : 0; }
    bool Finished() const { return m_state && m_state->Finished(); }
    bool StopRequested() const { return m_state && m_state->StopRequested(); }
    // MThreadState::kStillActive while running, the function's result when it returned, 222 when
    // the thread was given up by StopAllThreads.
    int ExitCode() const { return m_state ? m_state->ExitCode() : MThreadState::kStillActive; }

private:
    friend class ThreadManager;
    friend class MThread;
    explicit MThreadHandle(std::shared_ptr<MThreadState> state) : m_state(std::move(state)) {}
    std::shared_ptr<MThreadState> m_state;
};

// One worker thread, owned by its ThreadManager.
class MThread {
public:
    MThreadHandle handle;
    void* argument = nullptr;
    uint32_t threadId = 0;
    MThreadFunc function = nullptr;
    uint8_t flags = 0; // non-zero: created suspended

    bool Finished() const { return handle.Finished(); }

private:
    friend class ThreadManager;
    std::thread m_thread;
};

class ThreadManager {
public:
    ThreadManager() = default;
    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;
    // Stops the threads as StopAllThreads does.
    virtual ~ThreadManager();

    // Drops the entries of finished threads, then starts function(argument) on a new thread. A
    // suspended thread waits until ResumeThread. Returns an empty handle when the thread cannot be
    // created. Any thread.
    MThreadHandle StartThread(MThreadFunc function, void* argument, bool suspended = false);
    // Lets a suspended thread run; false when it is not ours or was not waiting.
    bool ResumeThread(const MThreadHandle& handle);
    // The entry of a thread still in the list, or null. The pointer is valid until the entry is
    // dropped (StartThread, StopAllThreads), so use it on the thread that manages the list.
    MThread* FindThread(const MThreadHandle& handle);
    // Raises every thread's stop flag, waits up to 100 ms per thread, gives up (detaches, exit code
    // 222) the ones that do not end, and drops every entry. A suspended thread that never ran is
    // cancelled and gets 222 without running.
    void StopAllThreads();
    // Called by a worker: true once its manager asked it to end. False on threads not started here.
    static bool CurrentThreadStopRequested();

    int ThreadCount();

    static constexpr auto kStopWait = std::chrono::milliseconds(100);

private:
    void DropFinished(); // under m_lock

    MCriticalSection m_lock;                         // guards m_threads
    std::vector<std::unique_ptr<MThread>> m_threads; // any thread, under m_lock
};
