#pragma once
// The cooperative scheduler: every periodic job of the program is an MTaskBase with a period,
// run on the main thread by the main loop tick. One process-wide core holds the task list; it
// exists while at least one MTaskManager handle exists.
//
// Thread: AddTask, RemoveTask, RunNext and every Run happen on the main thread only. The core's
// lock keeps each structural change (add, mark, delete an entry) indivisible, but RunNext reads
// the list without it.

#include "core/MCriticalSection.h"

#include <cstdint>
#include <type_traits>
#include <vector>

class MTaskBase;

// One scheduled task.
struct MTaskInfo {
    MTaskBase* task = nullptr; // not owned; null after removal
    int divisor = 0;           // pass mode only: run during passes that are a multiple of it; 0 = every pass
    float period = 0;          // milliseconds; above 0.01 selects time mode
    double next = 0;           // clock milliseconds when the task is next due (time mode)
    bool removed = false;      // set by RemoveTask; the entry is deleted at its next visit
};

class MTmCore {
public:
    // Periods at or below this select pass mode.
    static constexpr float kTimeModeMinPeriod = 0.01f;
    // A task that fell behind makes up at most this many milliseconds of runs.
    static constexpr double kMaxLagMs = 1000.0;
    // The first run of a new time-mode task comes this many milliseconds after adding.
    static constexpr double kFirstRunDelayMs = 10.0;

    MTmCore() = default;
    MTmCore(const MTmCore&) = delete;
    MTmCore& operator=(const MTmCore&) = delete;

    void AddTask(MTaskBase* task, int divisor, float period);
    // Marks the first entry of task (all of them when allEntries) as removed; resets the rotation.
    void RemoveTask(MTaskBase* task, bool allEntries = false);
    // Runs at most one due task or deletes one removed entry; false when nothing was to do.
    bool RunNext();

    int Count() const { return static_cast<int>(m_items.size()); }
    int Cursor() const { return m_cursor; }
    uint32_t Pass() const { return m_pass; }
    // Entry k in list order (k < Count()); for inspection.
    const MTaskInfo& Item(int k) const { return m_items[static_cast<size_t>(k)]; }

private:
    std::vector<MTaskInfo> m_items;
    // Wraps of the cursor. Unsigned so that a program running for months wraps cleanly.
    uint32_t m_pass = 0;
    int m_cursor = 0; // index of the entry visited last
    MCriticalSection m_lock;
};

// A handle on the one scheduler core. Constructing the first handle creates the core, destroying
// the last one deletes it. Every task and every owner of tasks keeps its own handle.
class MTaskManager {
public:
    MTaskManager();
    MTaskManager(const MTaskManager&);
    MTaskManager& operator=(const MTaskManager&) { return *this; }
    ~MTaskManager();

    // Appends an entry; no duplicate check. Period in milliseconds (> 0.01: time mode), otherwise
    // pass mode with the divisor. A failed list growth drops the entry silently.
    void AddTask(MTaskBase* task, int divisor, float period) { Core().AddTask(task, divisor, period); }
    // Marks the first entry of task as removed (safe inside the task's own Run).
    void RemoveTask(MTaskBase* task) { Core().RemoveTask(task); }
    bool RunNext() { return Core().RunNext(); }

    MTmCore& Core() const;
    // True while any handle exists.
    static bool CoreExists();
};

// A periodic task. The destructor removes every entry of the task, so a destroyed task is never run.
class MTaskBase {
public:
    MTaskBase() = default;
    MTaskBase(const MTaskBase&) = delete;
    MTaskBase& operator=(const MTaskBase&) = delete;
    virtual ~MTaskBase();
    virtual void Run() = 0;

    MTaskManager& TaskManager() { return m_tm; }

protected:
    MTaskManager m_tm;
};

// Upper bound of RunNext calls in one main loop tick.
inline constexpr int kMaxRunsPerTick = 11;

// One main loop tick: runs due tasks (at most kMaxRunsPerTick calls of RunNext that did something),
// then lets the window system process its pending messages through processMessages (may be null).
// A tick that arrives while another one is in progress (a nested tick from processMessages)
// returns at once. Returns the number of runs. Main thread only.
int MainTasksTick(MTaskManager& tm, void (*processMessages)(void*), void* context);

template <class F>
requires std::is_invocable_v<F&>
int MainTasksTick(MTaskManager& tm, F&& processMessages) {
    using Fn = std::remove_reference_t<F>;
    return MainTasksTick(
        tm, [](void* f) { (*static_cast<Fn*>(f))(); },
        const_cast<void*>(static_cast<const void*>(&processMessages)));
}
