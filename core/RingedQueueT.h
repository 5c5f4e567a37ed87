#pragma once
// Bounded locked FIFO used for every hand-over between threads and tasks.
// Drop policy: when a push would fill the ring, everything pending is discarded and the
// new item becomes the only one, so at most capacity - 1 items are ever pending.

#include "core/MCriticalSection.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

template <class T>
class RingedQueueT {
public:
    static constexpr int kMinCapacity = 5;
    static constexpr int kMaxCapacity = 10'000'000;

    RingedQueueT() = default;
    explicit RingedQueueT(int capacity) { SetCapacity(capacity); }
    RingedQueueT(const RingedQueueT&) = delete;
    RingedQueueT& operator=(const RingedQueueT&) = delete;

    // Clamps to 5 ... 10,000,000, reallocates and empties. Capacity 0 when allocation fails.
    void SetCapacity(int n) {
        MAutoLock lock(m_lock);
        n = std::clamp(n, kMinCapacity, kMaxCapacity);
        m_buffer.reset();
        m_capacity = 0;
        m_count = m_head = m_tail = 0;
        m_buffer.reset(new (std::nothrow) T[static_cast<size_t>(n)]);
        if (m_buffer) m_capacity = n;
    }

    void Push(const T& item) {
        MAutoLock lock(m_lock);
        if (m_capacity == 0) return;
        ++m_count;
        if (m_count >= m_capacity) { // overflow: keep only the newest
            m_head = m_tail = 0;
            m_count = 1;
        }
        m_buffer[m_tail] = item;
        m_tail = (m_tail + 1) % m_capacity;
    }

    // Callers test Count() > 0 first; an empty queue returns a default item.
    T Pop() {
        MAutoLock lock(m_lock);
        if (m_count <= 0) return T{};
        T item = m_buffer[m_head];
        m_head = (m_head + 1) % m_capacity;
        --m_count;
        return item;
    }

    // Pops into `out`; false when empty. One lock for the test and the pop.
    bool TryPop(T& out) {
        MAutoLock lock(m_lock);
        if (m_count <= 0) return false;
        out = m_buffer[m_head];
        m_head = (m_head + 1) % m_capacity;
        --m_count;
        return true;
    }

    // First pending item (oldest first) for which match(item) is true, or null.
    // The pointer stays valid only while the caller holds Lock().
    template <class Match>
    T* FindPending(Match&& match) {
        MAutoLock lock(m_lock);
        for (int k = 0; k < m_count; ++k) {
            T& item = m_buffer[(m_head + k) % m_capacity];
            if (match(item)) return &item;
        }
        return nullptr;
    }

    // First pending item equal to item by equal(pending, item), or null; same rules as above.
    template <class Equal>
    T* FindPending(const T& item, Equal&& equal) {
        return FindPending([&](T& pending) { return equal(pending, item); });
    }

    // Pending item k counted from the oldest; k must be < Count(). Hold Lock() while using it.
    T& At(int k) { return m_buffer[(m_head + k) % m_capacity]; }

    void Clear() {
        MAutoLock lock(m_lock);
        m_count = m_head = m_tail = 0;
    }

    int Count() {
        MAutoLock lock(m_lock);
        return m_count;
    }
    int Capacity() const { return m_capacity; }

    MCriticalSection& Lock() { return m_lock; }

private:
    std::unique_ptr<T[]> m_buffer;
    int m_capacity = 0;
    int m_count = 0;
    int m_head = 0;
    int m_tail = 0;
    MCriticalSection m_lock;
};
