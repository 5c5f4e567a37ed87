#pragma once
// Owning pointer of a process-wide singleton. Constant-initialised (null) so that it is usable
// before any dynamic initialisation runs; deletes its object at program end. The pointer itself is
// atomic because accessors read it from worker threads; creating and destroying the object is
// the owner's business (see GetEventManager).

#include <atomic>

template <class T>
class MAutoPtr {
public:
    constexpr MAutoPtr() noexcept = default;
    ~MAutoPtr() { Reset(nullptr); }
    MAutoPtr(const MAutoPtr&) = delete;
    MAutoPtr& operator=(const MAutoPtr&) = delete;

    T* Get() const noexcept { return m_ptr.load(std::memory_order_acquire); }
    T* operator->() const noexcept { return Get(); }
    explicit operator bool() const noexcept { return Get() != nullptr; }

    // Takes ownership of p and deletes the previous object. The pointer is cleared before the old
    // object is deleted, so code running in its destructor already sees the new value.
    void Reset(T* p) {
        T* old = m_ptr.exchange(p, std::memory_order_acq_rel);
        delete old;
    }

    // Gives up ownership without deleting.
    T* Release() noexcept { return m_ptr.exchange(nullptr, std::memory_order_acq_rel); }

private:
    std::atomic<T*> m_ptr{nullptr};
};
