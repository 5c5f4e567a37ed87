#pragma once
// Buffered stream over an already open file descriptor (not owned). One window of up to
// 1 MiB caches reads in both directions and gathers writes.

#include "storage/MBaseStream.h"

#include <cstdint>
#include <mutex>

class MFileStream final : public MBaseStream {
public:
    static constexpr int32_t kWindowSize = 1 << 20;

    MFileStream() = default;
    ~MFileStream();
    MFileStream(const MFileStream&) = delete;
    MFileStream& operator=(const MFileStream&) = delete;

    // Binds to fd at its current offset. False when the size cannot be read.
    bool Attach(int fd, bool readOnly);
    // Writes any dirty window and unbinds; the descriptor stays open.
    void Detach();
    void Flush();

    bool Write(const void* data, int32_t len) override;
    int64_t Seek(int64_t pos) override;
    int64_t GetPosition() override;
    int64_t GetSize() override;
    int32_t Read(void* buf, int32_t len) override;

    bool IsAttached() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

private:
    void FlushLocked();

    std::recursive_mutex m_lock; // every operation except GetPosition and GetSize
    uint8_t* m_window = nullptr;
    int32_t m_windowCapacity = 0;
    int32_t m_valid = 0;
    int32_t m_cursor = 0;
    int64_t m_windowOffset = 0;
    int64_t m_fileSize = 0;
    int64_t m_position = 0;
    int m_fd = -1;
    bool m_readOnly = true;
    bool m_dirty = false;
};
