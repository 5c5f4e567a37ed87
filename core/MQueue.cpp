#include "core/MQueue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

MQueue::MQueue() {
    Reallocate(m_growStep);
}

MQueue::~MQueue() {
    std::free(m_storage);
}

bool MQueue::Reallocate(int capacity) {
    void* p = std::realloc(m_storage, static_cast<size_t>(capacity));
    if (!p) return false;
    m_storage = static_cast<uint8_t*>(p);
    m_capacity = capacity;
    return true;
}

int MQueue::Put(const void* data, int length, bool atEnd) {
    MAutoLock lock(m_lock);
    if (!data || length < 0) return -1;
    const int64_t newSize = static_cast<int64_t>(m_size) + length;
    if (newSize > m_maxSize) return -1;
    if (newSize > m_capacity) {
        const int64_t capacity = static_cast<int64_t>(m_growStep) * (newSize / m_growStep + 1);
        // On failure the stored bytes stay as they were.
        if (capacity > INT32_MAX || !Reallocate(static_cast<int>(capacity))) return -1;
    }
    if (length > 0) {
        if (atEnd) {
            std::memcpy(m_storage + m_size, data, static_cast<size_t>(length));
        } else {
            std::memmove(m_storage + length, m_storage, static_cast<size_t>(m_size));
            std::memcpy(m_storage, data, static_cast<size_t>(length));
        }
    }
    m_size = static_cast<int>(newSize);
    return length;
}

int MQueue::Get(void* destination, int length, bool fromFront) {
    MAutoLock lock(m_lock);
    if (length < 0) return -1;
    const int n = std::min(length, m_size);
    if (n > 0) {
        if (fromFront) {
            if (destination) std::memcpy(destination, m_storage, static_cast<size_t>(n));
            std::memmove(m_storage, m_storage + n, static_cast<size_t>(m_size - n));
        } else if (destination) {
            std::memcpy(destination, m_storage + (m_size - n), static_cast<size_t>(n));
        }
    }
    m_size -= n;
    // Give memory back a step at a time; if that fails the larger block simply stays.
    if (m_capacity - m_size > m_shrinkStep) Reallocate(m_capacity - m_shrinkStep);
    return n;
}

void MQueue::Clear() {
    MAutoLock lock(m_lock);
    m_size = 0;
    Reallocate(m_growStep);
}

void MQueue::SetMaxSize(int n) {
    MAutoLock lock(m_lock);
    if (n > kMaxMaxSize)
        m_maxSize = kMaxMaxSize;
    else if (n < m_growStep)
        m_maxSize = 2 * m_growStep;
    else
        m_maxSize = n;
}

int MQueue::MaxSize() {
    MAutoLock lock(m_lock);
    return m_maxSize;
}

int MQueue::Size() {
    MAutoLock lock(m_lock);
    return m_size;
}

int MQueue::Capacity() {
    MAutoLock lock(m_lock);
    return m_capacity;
}
