#include "core/MCriticalSectionRW.h"

#include <chrono>
#include <new>
#include <thread>

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(1);
// The guard is held for a few instructions only; spin briefly before falling back to 1 ms polls.
constexpr int kGuardSpins = 64;

} // namespace

// The internal guard: a thread id in one atomic word. Held only inside this class, never while
// sleeping or calling out, so a holder cannot end while holding it and waiting always ends.
class MCriticalSectionRW::Guard {
public:
    explicit Guard(MCriticalSectionRW& cs) : m_cs(cs), m_self(CurrentThreadId()) { Take(); }
    ~Guard() { Release(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    void Take() {
        if (m_cs.m_guard.load(std::memory_order_relaxed) == m_self) return; // already ours
        uint32_t expected = 0;
        int spins = 0;
        while (!m_cs.m_guard.compare_exchange_weak(expected, m_self, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
            expected = 0;
            if (++spins < kGuardSpins)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(kPollPeriod);
        }
        m_owned = true;
    }

    void Release() {
        if (!m_owned) return;
        m_owned = false;
        m_cs.m_guard.store(0, std::memory_order_release);
    }

    // One poll: lets the other threads in for a millisecond.
    void Pause() {
        Release();
        std::this_thread::sleep_for(kPollPeriod);
        Take();
    }

private:
    MCriticalSectionRW& m_cs;
    const uint32_t m_self;
    bool m_owned = false;
};

MCriticalSectionRW::~MCriticalSectionRW() {
    Guard g(*this);
    m_closing = true;
    if (m_holders.empty()) return;
    m_holders.clear();
    m_writers = 0;
    // Give pollers a moment to notice before the memory goes.
    g.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

int MCriticalSectionRW::FindHolder(uint32_t threadId) {
    int found = -1;
    for (size_t i = 0; i < m_holders.size();) {
        ThrInfo& h = m_holders[i];
        if (h.threadId == threadId) {
            found = static_cast<int>(i);
            ++i;
            continue;
        }
        if (h.alive && !h.alive->load(std::memory_order_acquire)) {
            // Ended without unlocking: forget it, and its writer announcements with it.
            m_writers = m_writers > h.writes ? m_writers - h.writes : 0;
            m_holders.erase(m_holders.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    return found;
}

void MCriticalSectionRW::Register(uint32_t threadId, bool write) {
    const int k = FindHolder(threadId);
    if (k >= 0) {
        ThrInfo& h = m_holders[static_cast<size_t>(k)];
        ++h.count;
        if (write) ++h.writes;
        return;
    }
    if (m_closing) return;
    try {
        m_holders.push_back(ThrInfo{threadId, 1, write ? 1 : 0, CurrentThreadAlive()});
    } catch (const std::bad_alloc&) {
        // Not registered: the matching unlock finds nothing to remove.
    }
}

void MCriticalSectionRW::Unregister(uint32_t threadId, bool write) {
    const int k = FindHolder(threadId);
    if (k < 0) return;
    ThrInfo& h = m_holders[static_cast<size_t>(k)];
    if (write && h.writes > 0) --h.writes;
    if (--h.count <= 0) m_holders.erase(m_holders.begin() + k);
}

bool MCriticalSectionRW::ReadLock(int attempts) {
    const uint32_t self = CurrentThreadId();
    Guard g(*this);
    bool ok = true;
    for (int polls = 0;; ++polls) {
        // A holder may always re-enter; others wait for the writers.
        if (FindHolder(self) >= 0 || m_writers <= 0) break;
        if (polls >= attempts - 1) {
            ok = false;
            break;
        }
        g.Pause();
    }
    Register(self, false);
    return ok;
}

bool MCriticalSectionRW::WriteLock(int attempts) {
    const uint32_t self = CurrentThreadId();
    Guard g(*this);
    ++m_writers; // from now on new readers wait
    bool ok = true;
    for (int polls = 0;; ++polls) {
        const int mine = FindHolder(self);
        const size_t others = m_holders.size() - (mine >= 0 ? 1 : 0);
        if (others == 0) break;
        if (polls >= attempts - 1) {
            ok = false;
            break;
        }
        g.Pause();
    }
    Register(self, true);
    return ok;
}

void MCriticalSectionRW::ReadUnlock() {
    const uint32_t self = CurrentThreadId();
    Guard g(*this);
    Unregister(self, false);
}

void MCriticalSectionRW::WriteUnlock() {
    const uint32_t self = CurrentThreadId();
    Guard g(*this);
    if (m_writers > 0) --m_writers;
    Unregister(self, true);
}

int MCriticalSectionRW::HolderCount() {
    Guard g(*this);
    FindHolder(0); // 0 is nobody's id: only drops ended holders
    return static_cast<int>(m_holders.size());
}

int MCriticalSectionRW::WriterCount() {
    Guard g(*this);
    FindHolder(0);
    return m_writers;
}
