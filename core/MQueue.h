#pragma once
// Growable locked FIFO of bytes with a maximum size. Storage grows in whole grow steps and gives
// memory back one shrink step per Get. Every operation is atomic with respect to the others; a
// reader that needs Data() and Size() together (and then Clear()) holds Lock() around them.

#include "core/MCriticalSection.h"

#include <cstddef>
#include <cstdint>

class MQueue {
public:
    static constexpr int kGrowStep = 4096;
    static constexpr int kShrinkStep = 4096;
    static constexpr int kDefaultMaxSize = 20'000'000;
    static constexpr int kMaxMaxSize = 100'000'000;

    MQueue();
    ~MQueue();
    MQueue(const MQueue&) = delete;
    MQueue& operator=(const MQueue&) = delete;

    // Stores length bytes at the end (atEnd) or in front of the stored bytes. Returns length, or -1
    // with nothing stored when data is null, length < 0, the maximum size would be exceeded or
    // memory runs out.
    int Put(const void* data, int length, bool atEnd = true);
    // Takes up to length bytes from the front (fromFront) or the back into destination (null
    // discards them). Returns the number taken, -1 when length < 0.
    int Get(void* destination, int length, bool fromFront = true);
    void Clear();

    // Above 100,000,000 becomes 100,000,000; below one grow step becomes two grow steps. Bytes already
    // stored are kept.
    void SetMaxSize(int n);
    int MaxSize();

    // First stored byte; valid until the next change, so hold Lock() while using it.
    uint8_t* Data() { return m_storage; }
    int Size();
    int Capacity();

    void Lock() { m_lock.Enter(); }
    void Unlock() { m_lock.Leave(); }

private:
    bool Reallocate(int capacity); // keeps the stored bytes; false (and nothing changed) on failure

    MCriticalSection m_lock; // guards everything below
    uint8_t* m_storage = nullptr;
    int m_capacity = 0;
    int m_growStep = kGrowStep;
    int m_shrinkStep = kShrinkStep;
    int m_maxSize = kDefaultMaxSize;
    int m_size = 0;
};

// The same queue for items of a trivially copyable type (16-bit ADC samples). Counts are in items.
template <class T>
class MQueueT : public MQueue {
public:
    int Put(const T* items, int count, bool atEnd = true) {
        if (count < 0 || count > INT32_MAX / static_cast<int>(sizeof(T))) return -1;
        const int n = MQueue::Put(items, count * static_cast<int>(sizeof(T)), atEnd);
        return n < 0 ? n : n / static_cast<int>(sizeof(T));
    }
    int Get(T* items, int count, bool fromFront = true) {
        if (count < 0) return -1;
        constexpr int kMaxItems = INT32_MAX / static_cast<int>(sizeof(T));
        const int bytes = (count < kMaxItems ? count : kMaxItems) * static_cast<int>(sizeof(T));
        const int n = MQueue::Get(items, bytes, fromFront);
        return n < 0 ? n : n / static_cast<int>(sizeof(T));
    }
    T* Data() { return reinterpret_cast<T*>(MQueue::Data()); }
    // Stored items.
    int Count() { return Size() / static_cast<int>(sizeof(T)); }
};
