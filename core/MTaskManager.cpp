#include "core/MTaskManager.h"

#include "core/Clock.h"

#include <cmath>
#include <mutex>
#include <new>

namespace {

// Reference count of handles and the core they share. Constant-initialised, so handles in static
// objects of any module can be built and destroyed in any order.
std::mutex g_coreMutex;
int g_coreRefs = 0;
MTmCore* g_core = nullptr;

// Set while a main loop tick runs; a nested tick returns at once. Main thread only.
bool g_tickInProgress = false;

} // namespace

// ---- MTmCore ----

void MTmCore::AddTask(MTaskBase* task, int divisor, float period) {
    MTaskInfo info;
    info.task = task;
    info.divisor = divisor;
    info.period = period;
    if (period != 0) {
        // Whole milliseconds of the clock. Kept as a 64-bit value: cutting it to 32 bits would make a
        // task added after 2^32 ms look a whole backlog late.
        const long double ms = std::floor(GetMicroseconds() * 0.001L);
        info.next = static_cast<double>(ms) + kFirstRunDelayMs;
    }
    MAutoLock lock(m_lock);
    try {
        m_items.push_back(info);
    } catch (const std::bad_alloc&) {
        // The list could not grow: the task is not scheduled.
    }
    m_cursor = 0;
}

void MTmCore::RemoveTask(MTaskBase* task, bool allEntries) {
    MAutoLock lock(m_lock);
    for (MTaskInfo& e : m_items) {
        if (e.task != task || e.removed) continue;
        e.task = nullptr;
        e.removed = true;
        if (!allEntries) break;
    }
    m_cursor = 0;
}

bool MTmCore::RunNext() {
    const int count = Count();
    if (count == 0) return false;
    const double now = static_cast<double>(GetMicroseconds() * 0.001L);

    for (int visit = 0; visit < count; ++visit) {
        if (++m_cursor >= Count()) {
            m_cursor = 0;
            ++m_pass;
        }
        MTaskInfo& e = m_items[static_cast<size_t>(m_cursor)];

        if (e.removed) {
            // The cursor stays: the entry that moves into this slot waits until the next wrap.
            MAutoLock lock(m_lock);
            m_items.erase(m_items.begin() + m_cursor);
            return true;
        }
        MTaskBase* task = e.task;
        if (!task) continue;

        if (e.period > kTimeModeMinPeriod) {
            double lag = now - e.next;
            if (!(lag > 0)) continue;
            if (lag > kMaxLagMs) lag = kMaxLagMs;
            e.next = now - lag + e.period;
        } else if (e.divisor != 0) {
            const auto divisor =
                static_cast<uint32_t>(e.divisor < 0 ? -static_cast<int64_t>(e.divisor) : e.divisor);
            if (m_pass % divisor != 0) continue;
        }
        // Run may add or remove tasks, which can move the list: e is not used afterwards.
        task->Run();
        return true;
    }
    return false;
}

// ---- MTaskManager ----

MTaskManager::MTaskManager() {
    std::lock_guard lock(g_coreMutex);
    if (g_coreRefs++ == 0) g_core = new MTmCore;
}

MTaskManager::MTaskManager(const MTaskManager&) : MTaskManager() {}

MTaskManager::~MTaskManager() {
    MTmCore* dead = nullptr;
    {
        std::lock_guard lock(g_coreMutex);
        if (--g_coreRefs == 0) {
            dead = g_core;
            g_core = nullptr;
        }
    }
    delete dead;
}

MTmCore& MTaskManager::Core() const {
    // A handle keeps the core alive, so the pointer cannot change while this handle exists.
    std::lock_guard lock(g_coreMutex);
    return *g_core;
}

bool MTaskManager::CoreExists() {
    std::lock_guard lock(g_coreMutex);
    return g_core != nullptr;
}

// ---- MTaskBase ----

MTaskBase::~MTaskBase() {
    // Every entry, not just the first: a task added twice must not be run after it is gone.
    m_tm.Core().RemoveTask(this, true);
}

// ---- main loop tick ----

int MainTasksTick(MTaskManager& tm, void (*processMessages)(void*), void* context) {
    if (g_tickInProgress) return 0;
    g_tickInProgress = true;
    int runs = 0;
    MTmCore& core = tm.Core();
    while (runs < kMaxRunsPerTick && core.RunNext()) ++runs;
    if (processMessages) processMessages(context);
    g_tickInProgress = false;
    return runs;
}
