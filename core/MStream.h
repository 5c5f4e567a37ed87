#pragma once
// Growable in-memory stream that can replace its contents by an LZO1X-1 packed image,
// and its on-disk form, the stream file: int32 L, then L plain bytes (L >= 0) or a packed
// image of -L bytes (L < 0). Packed image: uint32 unpacked length, uint32 byte-sum checksum
// of what follows, one LZO1X-1 block.
//
// Thread safety: every operation takes the stream's own recursive lock, so one stream may be
// shared between threads; Data() hands out the buffer without it.

#include "core/MBaseStream.h"

#include <cstdint>
#include <mutex>

class MStream final : public MBaseStream {
public:
    static constexpr int32_t kGrowthStep = 4096;
    static constexpr int32_t kMinPackLength = 200;
    static constexpr uint32_t kMaxUnpackedLength = 2'000'000'000u;
    static constexpr int32_t kPackedHeader = 8;
    // No LZO1X block expands by more than this factor: the longest match, from a run of zero
    // length bytes, adds 255 output bytes per input byte, and no instruction does better.
    static constexpr int64_t kMaxExpansion = 255;

    MStream();
    ~MStream();
    MStream(const MStream&) = delete;
    MStream& operator=(const MStream&) = delete;

    bool Write(const void* data, int32_t len) override;
    // Refused (-1) for pos < 0 or pos >= capacity.
    int64_t Seek(int64_t pos) override;
    int64_t GetPosition() override;
    int64_t GetSize() override;
    int32_t Read(void* buf, int32_t len) override;

    // Reallocates to exactly n bytes, remembers n as the reserve and rewinds.
    bool Reserve(int32_t n);
    // Sets the size when 0 <= n < capacity.
    void SetSize(int64_t n);

    // -1 failure, 0 left plain, otherwise the new (packed) length. Packs bytes 0 ... position-1.
    int32_t Pack();
    // -1 failure (the stream is left as it was), otherwise the plain length.
    int32_t Unpack();

    // Stream file at the descriptor's current offset. fd < 0 means no handle.
    bool WriteToFile(int fd, bool pack);
    // On failure the stream is left empty and plain.
    bool ReadFromFile(int fd, bool unpack);

    const uint8_t* Data() const { return m_data; }
    int32_t Capacity() const { return m_capacity; }
    bool IsPacked() const { return m_packed; }
    bool PackerAvailable() const { return m_packerAvailable; }

private:
    // Replaces the buffer by one of exactly n bytes, keeping what fits. False when out of memory.
    bool Reallocate(int32_t n);
    void Clear();
    bool ReadPayload(int fd, int32_t length);

    std::recursive_mutex m_lock; // guards every member below
    uint8_t* m_data = nullptr;
    int32_t m_capacity = 0;
    int32_t m_reserve = 0;
    int32_t m_position = 0;
    int32_t m_size = 0;
    bool m_packerAvailable = false;
    bool m_packed = false;
};
