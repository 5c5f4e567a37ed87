#pragma once
// Buffered stream over an already open file descriptor (not owned). One window of up to
// 1 MiB caches reads in both directions and gathers writes.
//
// Thread safety: every operation except GetPosition and GetSize holds the stream's own
// recursive lock for the whole call; those two read atomics and never block.

#include "storage/MBaseStream.h"

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
    void Refill(int32_t len);
    // After the position moved without the window: keep the cursor pointing at it.
    void SyncWindow();
    void RestartWindow(int64_t at);

    using Lock = std::recursive_mutex;
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
