#pragma once
// Re-entrant lock with a scope guard: the owning thread may enter again.

#include <mutex>

class MCriticalSection {
public:
    MCriticalSection() = default;
    MCriticalSection(const MCriticalSection&) = delete;
    MCriticalSection& operator=(const MCriticalSection&) = delete;

    void Enter() { m_mutex.lock(); }
    void Leave() { m_mutex.unlock(); }
    bool TryEnter() { return m_mutex.try_lock(); }

    // Lockable, so std::scoped_lock and std::unique_lock work too.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex m_mutex;
};

class MAutoLock {
public:
    explicit MAutoLock(MCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~MAutoLock() { m_cs.Leave(); }
    MAutoLock(const MAutoLock&) = delete;
    MAutoLock& operator=(const MAutoLock&) = delete;

private:
    MCriticalSection& m_cs;
};
