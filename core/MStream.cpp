#include "core/MStream.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t ByteSum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// The LZO self-test needs to run only once per process; every stream records its result.
bool PackerSelfTest() {
    static const bool ok = lzo_init() == LZO_E_OK;
    return ok;
}

// The compressor's dictionary: kept per thread rather than mapped and unmapped on every Pack.
uint8_t* CompressorMemory() {
    thread_local Buffer memory(static_cast<uint8_t*>(std::malloc(LZO1X_1_MEM_COMPRESS)));
    return memory.get();
}

// Capacity after a write that ends at `needed`: whole growth steps with room to spare.
int32_t GrownCapacity(int64_t needed) {
    int64_t cap = (needed / MStream::kGrowthStep + 1) * MStream::kGrowthStep;
    return cap > INT32_MAX ? INT32_MAX : int32_t(cap);
}

// Reads until n bytes arrived or the file ended; -1 on a read error.
int64_t ReadAll(int fd, uint8_t* buf, int64_t n) {
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, buf + done, size_t(n - done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += r;
    }
    return done;
}

bool WriteAll(int fd, const uint8_t* buf, int64_t n) {
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::write(fd, buf + done, size_t(n - done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        done += r;
    }
    return true;
}

} // namespace

MStream::MStream() : m_packerAvailable(PackerSelfTest()) {}

MStream::~MStream() {
    std::free(m_data);
}

bool MStream::Reallocate(int32_t n) {
    if (n == 0) {
        std::free(m_data);
        m_data = nullptr;
        m_capacity = 0;
        return true;
    }
    auto* p = static_cast<uint8_t*>(std::realloc(m_data, size_t(n)));
    if (!p) return false;
    m_data = p;
    m_capacity = n;
    return true;
}

void MStream::Clear() {
    std::free(m_data);
    m_data = nullptr;
    m_capacity = 0;
    m_position = 0;
    m_size = 0;
    m_packed = false;
}

bool MStream::Write(const void* data, int32_t len) {
    Guard g(m_lock);
    if (len < 0 || (len > 0 && !data)) return false;
    const int64_t needed = int64_t(m_position) + len;
    if (needed > INT32_MAX) return false;
    if (needed > m_capacity) {
        const int32_t oldCapacity = m_capacity;
        if (!Reallocate(GrownCapacity(needed))) {
            Clear();
            return false;
        }
        // Fresh memory that this write does not cover is zeroed so that no stale heap bytes
        // can reach a file through a later seek past the data.
        if (m_position > oldCapacity) std::memset(m_data + oldCapacity, 0, size_t(m_position - oldCapacity));
        std::memset(m_data + needed, 0, size_t(m_capacity - needed));
    } else if (needed < m_reserve && m_reserve < m_capacity) {
        Reallocate(m_reserve); // shrinking back; on failure the larger buffer simply stays
    }
    if (len > 0) std::memcpy(m_data + m_position, data, size_t(len));
    m_position = int32_t(needed);
    m_size = m_position;
    m_packed = false;
    return true;
}

int64_t MStream::Seek(int64_t pos) {
    Guard g(m_lock);
    if (pos < 0 || pos >= m_capacity) return -1;
    m_position = int32_t(pos);
    return pos;
}

int64_t MStream::GetPosition() {
    Guard g(m_lock);
    return m_position;
}

int64_t MStream::GetSize() {
    Guard g(m_lock);
    return m_size;
}

int32_t MStream::Read(void* buf, int32_t len) {
    Guard g(m_lock);
    if (len < 0 || (len > 0 && !buf)) return -1;
    const int32_t count = std::min(len, m_size - m_position);
    if (count < 0) return -1;
    if (count > 0) std::memcpy(buf, m_data + m_position, size_t(count));
    m_position += count;
    return count;
}

bool MStream::Reserve(int32_t n) {
    Guard g(m_lock);
    if (n < 0) return false;
    const int32_t oldCapacity = m_capacity;
    if (!Reallocate(n)) return false;
    if (n > oldCapacity) std::memset(m_data + oldCapacity, 0, size_t(n - oldCapacity));
    m_reserve = n;
    m_position = 0;
    if (m_size > n) m_size = n;
    return true;
}

void MStream::SetSize(int64_t n) {
    Guard g(m_lock);
    if (n >= 0 && n < m_capacity) m_size = int32_t(n);
}

int32_t MStream::Pack() {
    Guard g(m_lock);
    if (!m_packerAvailable) return -1;
    if (m_packed) return m_size; // already an image
    const int32_t length = m_position;
    if (length < kMinPackLength) return 0;

    const size_t outCapacity = size_t(length) + size_t(length) / 16 + 67;
    Buffer out(static_cast<uint8_t*>(std::malloc(outCapacity)));
    uint8_t* work = CompressorMemory();
    if (!out || !work) return -1;

    lzo_uint packed = 0;
    if (lzo1x_1_compress(m_data, lzo_uint(length), out.get(), &packed, work) != LZO_E_OK) return 0;
    if (packed >= lzo_uint(length)) return 0;

    uint8_t header[kPackedHeader];
    StoreLE32(header, uint32_t(length));
    StoreLE32(header + 4, ByteSum(out.get(), packed));
    m_position = 0;
    if (!Write(header, kPackedHeader) || !Write(out.get(), int32_t(packed))) return -1;
    m_packed = true;
    return m_position;
}

int32_t MStream::Unpack() {
    Guard g(m_lock);
    if (!m_packed) return m_position;
    if (!m_packerAvailable) return -1;
    // The image always spans the whole data: it is made by Pack or loaded from a file, and
    // any later Write turns the stream plain.
    const int32_t imageLength = m_size;
    if (imageLength < kPackedHeader) return -1;
    const uint32_t unpacked = LoadLE32(m_data);
    const uint32_t checksum = LoadLE32(m_data + 4);
    const int32_t packedLength = imageLength - kPackedHeader;
    const uint8_t* packed = m_data + kPackedHeader;
    if (ByteSum(packed, size_t(packedLength)) != checksum) return -1;
    if (unpacked == 0 || unpacked > kMaxUnpackedLength) return -1;
    // A claim no LZO1X block of this size can reach is refused before anything is allocated.
    if (int64_t(unpacked) > kMaxExpansion * packedLength) return -1;

    // Decompress straight into the buffer the plain contents will live in; its capacity
    // follows the same rule as writing the unpacked bytes at position 0.
    int32_t capacity = m_capacity;
    if (int64_t(unpacked) > m_capacity)
        capacity = GrownCapacity(unpacked);
    else if (int32_t(unpacked) < m_reserve && m_reserve < m_capacity)
        capacity = m_reserve;
    Buffer plain(static_cast<uint8_t*>(std::malloc(size_t(capacity))));
    if (!plain) return -1;
    lzo_uint produced = unpacked;
    const int rc = lzo1x_decompress_safe(packed, lzo_uint(packedLength), plain.get(), &produced, nullptr);
    if (rc != LZO_E_OK || produced != unpacked) return -1;
    std::memset(plain.get() + unpacked, 0, size_t(capacity) - unpacked);

    std::free(m_data);
    m_data = plain.release();
    m_capacity = capacity;
    m_position = m_size = int32_t(unpacked);
    m_packed = false;
    return m_position;
}

bool MStream::WriteToFile(int fd, bool pack) {
    Guard g(m_lock);
    if (fd < 0) return false;
    if (pack && !m_packed && Pack() < 0) return false;
    // A packed image is only meaningful whole, wherever the position was left.
    const int32_t length = m_packed ? m_size : m_position;
    uint8_t header[4];
    StoreLE32(header, uint32_t(m_packed ? -length : length));
    return WriteAll(fd, header, sizeof header) && WriteAll(fd, m_data, length);
}

bool MStream::ReadPayload(int fd, int32_t length) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t offset = ::lseek(fd, 0, SEEK_CUR);
        if (offset >= 0) {
            // A length the file cannot hold is refused before anything is allocated.
            if (int64_t(length) > int64_t(st.st_size) - int64_t(offset)) return false;
            if (!Reallocate(length)) return false;
            return ReadAll(fd, m_data, length) == length;
        }
    }
    // Pipes and the like cannot tell what is coming: read in bounded pieces so that the memory
    // held never runs far ahead of the bytes that actually arrived.
    constexpr int32_t kPiece = 1 << 20;
    int32_t got = 0;
    Reallocate(0);
    while (got < length) {
        const int32_t want = std::min(length - got, kPiece);
        if (got + want > m_capacity) {
            const int64_t grown = std::max<int64_t>(int64_t(got) + want, int64_t(m_capacity) * 2);
            if (!Reallocate(int32_t(std::min<int64_t>(grown, length)))) return false;
        }
        const int64_t n = ReadAll(fd, m_data + got, want);
        if (n != want) return false;
        got += want;
    }
    return true; // the capacity ends exactly at length
}

bool MStream::ReadFromFile(int fd, bool unpack) {
    Guard g(m_lock);
    if (fd < 0) return false;
    Clear();
    uint8_t header[4];
    if (ReadAll(fd, header, sizeof header) != int64_t(sizeof header)) return false;
    const int32_t announced = int32_t(LoadLE32(header));
    if (announced == INT32_MIN) return false; // no image of 2^31 bytes fits a stream
    const bool packed = announced < 0;
    const int32_t length = packed ? -announced : announced;
    if (!ReadPayload(fd, length)) {
        Clear();
        return false;
    }
    m_position = m_size = length;
    m_packed = packed;
    if (unpack && packed && Unpack() < 0) {
        Clear();
        return false;
    }
    m_position = 0;
    return true;
}
