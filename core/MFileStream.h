#pragma once
// Buffered stream over an already open file descriptor (not owned). One window of up to
// 1 MiB caches reads in both directions and gathers writes.
//
// Thread safety: every operation except GetPosition and GetSize holds the stream's own
// recursive lock for the whole call; those two read atomics and never block.

#include "core/MBaseStream.h"

#include <atomic>
#include <cstdint>
#include <mutex>

class MFileStream final : public MBaseStream {
public:
    static constexpr int32_t kWindowSize = 1 << 20;

    MFileStream() = default;
    ~MFileStream(); // writes a dirty window, like Detach
    MFileStream(const MFileStream&) = delete;
    MFileStream& operator=(const MFileStream&) = delete;

    // Binds to fd at its current offset. False when the size or offset cannot be read.
    bool Attach(int fd, bool readOnly);
    // Writes any dirty window and unbinds; the descriptor stays open.
    void Detach();
    void Flush();

    // Refused on a read-only or detached stream. Failures of the file writes themselves are
    // not reported here (the bytes may still sit in the window); see HadWriteError.
    bool Write(const void* data, int32_t len) override;
    int64_t Seek(int64_t pos) override;
    int64_t GetPosition() override;
    int64_t GetSize() override;
    int32_t Read(void* buf, int32_t len) override;

    bool IsAttached() const { return Handle() >= 0; }
    int Handle() const { return m_fd.load(std::memory_order_relaxed); }
    // True once a write to the file failed or fell short since Attach.
    bool HadWriteError() const { return m_writeError.load(std::memory_order_relaxed); }
    // How often the window was read from the file (a statistic for tuning and tests).
    int64_t RefillCount() const { return m_refills.load(std::memory_order_relaxed); }
    // File offset of the window's first byte.
    int64_t WindowOffset() const { return m_windowOffset; }

private:
    void FlushLocked();
    void DetachLocked();
    // The whole of Seek and Read, for the calls their window fast paths do not settle.
    __attribute__((noinline)) int64_t SeekLocked(int64_t pos);
    __attribute__((noinline)) int32_t ReadLocked(void* buf, int32_t len);
    void Refill(int32_t len);
    // After the position moved without the window: keep the cursor pointing at it.
    void SyncWindow();
    void RestartWindow(int64_t at) {
        m_windowOffset = at;
        m_cursor = m_valid = 0;
    }

    // Recursive lock taken by every call, so it must cost little when free. It is biased: the
    // first thread to take it afterwards enters and leaves with plain stores (no atomic
    // read-modify-write), which is what keeps 16-byte reads cheap. The first time another
    // thread wants it, that thread revokes the bias for good (a process-wide memory barrier
    // pairs with the holder's stores) and waits until the holder is out; from then on every
    // thread queues for a ticket, served in order. Waiters spin briefly, then yield, then sleep
    // in growing steps: the stream is rarely contended, since its users serialise their own
    // sequences of calls, but a holder may sit in a 1 MiB file read.
    class Lock {
    public:
        void lock() {
            const uintptr_t self = Self();
            if (m_bias.load(std::memory_order_relaxed) == self) {
                if (m_biasDepth != 0) {
                    ++m_biasDepth;
                    return;
                }
                if (EnterBiased()) return;
            }
            LockSlow(self);
        }
        void unlock() {
            if (m_biasDepth != 0) {
                if (--m_biasDepth == 0) m_biasInside.store(false, std::memory_order_release);
            } else if (--m_depth == 0) {
                m_owner.store(0, std::memory_order_relaxed);
                m_serving.store(m_serving.load(std::memory_order_relaxed) + 1, std::memory_order_release);
            }
        }

    private:
        static uintptr_t Self() {
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
            return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); // unique per thread, never 0
#else
            return SelfSlow();
#endif
        }
        static uintptr_t SelfSlow();
        bool EnterBiased() {
            m_biasInside.store(true, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst); // the other half is the revoker's barrier
            if (!m_revoked.load(std::memory_order_acquire)) {
                m_biasDepth = 1;
                return true;
            }
            m_biasInside.store(false, std::memory_order_release);
            return false;
        }
        void LockSlow(uintptr_t self);

        std::atomic<uintptr_t> m_bias{0};      // the thread the lock is biased to, 0 before the first use
        std::atomic<bool> m_biasInside{false}; // that thread is inside through the biased path
        std::atomic<bool> m_revoked{false};    // the bias is gone; everyone queues for tickets
        uint32_t m_biasDepth = 0;              // re-entry count through the biased path; its thread only
        std::atomic<uint32_t> m_nextTicket{0}; // ticket queue used once the bias is gone
        std::atomic<uint32_t> m_serving{0};
        std::atomic<uintptr_t> m_owner{0}; // holder through the ticket queue, for re-entry
        uint32_t m_depth = 0;              // re-entry count through that path; its holder only
    };
    using Guard = std::lock_guard<Lock>;

    Lock m_lock; // held by every operation except GetPosition and GetSize
    // All members below are written under m_lock; m_position and m_fileSize are also read
    // without it by GetPosition and GetSize.
    uint8_t* m_window = nullptr;
    int32_t m_windowCapacity = 0;
    int32_t m_valid = 0;
    int32_t m_cursor = 0; // always m_position - m_windowOffset, within 0 ... m_valid
    int64_t m_windowOffset = 0;
    std::atomic<int64_t> m_fileSize{0};
    std::atomic<int64_t> m_position{0};
    std::atomic<int> m_fd{-1};
    bool m_readOnly = true;
    bool m_dirty = false;
    std::atomic<bool> m_writeError{false};
    std::atomic<int64_t> m_refills{0};
};
