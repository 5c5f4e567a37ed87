#pragma once
// Growable in-memory stream that can replace its contents by an LZO1X-1 packed image,
// and its on-disk form, the stream file: int32 L, then L plain bytes (L >= 0) or a packed
// image of -L bytes (L < 0). Packed image: uint32 unpacked length, uint32 byte-sum checksum
// of what follows, one LZO1X-1 block.

#include "storage/MBaseStream.h"

#include <cstdint>
#include <mutex>

class MStream final : public MBaseStream {
public:
    static constexpr int32_t kGrowthStep = 4096;
    static constexpr int32_t kMinPackLength = 200;
    static constexpr uint32_t kMaxUnpackedLength = 2'000'000'000u;

    MStream();
    ~MStream();
    MStream(const MStream&) = delete;
    MStream& operator=(const MStream&) = delete;

    bool Write(const void* data, int32_t len) override;
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
    // -1 failure, otherwise the plain length.
    int32_t Unpack();

    // Stream file at the descriptor's current offset. fd < 0 means no handle.
    bool WriteToFile(int fd, bool pack);
    bool ReadFromFile(int fd, bool unpack);

    const uint8_t* Data() const { return m_data; }
    int32_t Capacity() const { return m_capacity; }
    bool IsPacked() const { return m_packed; }
    bool PackerAvailable() const { return m_packerAvailable; }

private:
    std::recursive_mutex m_lock; // guards Write and Read
    uint8_t* m_data = nullptr;
    int32_t m_capacity = 0;
    int32_t m_reserve = 0;
    int32_t m_position = 0;
    int32_t m_size = 0;
    bool m_packerAvailable = false;
    bool m_packed = false;
};
