#pragma once
// Reader/writer lock with per-thread recursion and writer priority. A thread may take it again as
// reader or writer while it holds it; a thread that is the only holder may take it for writing.
// Waiting is done by 1 ms polls with a bound given in attempts; a timed-out caller is registered all
// the same (and must unlock), the bool result tells it that exclusivity is not guaranteed.
// Holders whose thread has ended are dropped when a lookup notices it, so a thread that ended
// while holding the lock does not block the others.

#include "core/ThreadId.h"

#include <atomic>
#include <cstdint>
#include <vector>

class MCriticalSectionRW {
public:
    // One holder thread and its recursion depth.
    struct ThrInfo {
        uint32_t threadId = 0;
        int count = 0;  // read and write locks held by the thread
        int writes = 0; // how many of them are write locks
        MThreadAliveFlag alive;
    };

    // Callers pass this: one minute of 1 ms polls.
    static constexpr int kDefaultAttempts = 60000;

    MCriticalSectionRW() = default;
    MCriticalSectionRW(const MCriticalSectionRW&) = delete;
    MCriticalSectionRW& operator=(const MCriticalSectionRW&) = delete;
    ~MCriticalSectionRW();

    // Waits while writers hold or wait for the lock (unless the caller already holds it), at most
    // attempts - 1 polls. False on time-out; the caller is registered either way.
    bool ReadLock(int attempts = kDefaultAttempts);
    // Announces a writer first (new readers then wait), then waits until no other thread holds the
    // lock, at most attempts - 1 polls. False on time-out; the caller is registered either way.
    bool WriteLock(int attempts = kDefaultAttempts);
    void ReadUnlock();
    void WriteUnlock();

    // For inspection: threads holding the lock (after dropping ended ones) and announced writers.
    int HolderCount();
    int WriterCount();

private:
    class Guard;

    // Under the guard: index of the caller's entry (-1 when none), dropping ended holders on the way.
    int FindHolder(uint32_t threadId);
    void Register(uint32_t threadId, bool write);
    void Unregister(uint32_t threadId, bool write);

    // Thread id holding the internal guard, 0 when free; taken by compare-and-exchange.
    std::atomic<uint32_t> m_guard{0};
    // The fields below are touched only under the guard.
    std::vector<ThrInfo> m_holders;
    bool m_closing = false;
    int m_writers = 0; // writers that hold or wait for the lock
};

class MAutoLockR {
public:
    explicit MAutoLockR(MCriticalSectionRW& cs, int attempts = MCriticalSectionRW::kDefaultAttempts)
        : m_cs(cs) {
        m_ok = m_cs.ReadLock(attempts);
    }
    ~MAutoLockR() { m_cs.ReadUnlock(); }
    MAutoLockR(const MAutoLockR&) = delete;
    MAutoLockR& operator=(const MAutoLockR&) = delete;
    // False when the wait timed out.
    bool Ok() const { return m_ok; }

private:
    MCriticalSectionRW& m_cs;
    bool m_ok;
};

class MAutoLockW {
public:
    explicit MAutoLockW(MCriticalSectionRW& cs, int attempts = MCriticalSectionRW::kDefaultAttempts)
        : m_cs(cs) {
        m_ok = m_cs.WriteLock(attempts);
    }
    ~MAutoLockW() { m_cs.WriteUnlock(); }
    MAutoLockW(const MAutoLockW&) = delete;
    MAutoLockW& operator=(const MAutoLockW&) = delete;
    bool Ok() const { return m_ok; }

private:
    MCriticalSectionRW& m_cs;
    bool m_ok;
};
