#include "core/MFileStream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <linux/membarrier.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// Reads at an explicit offset until n bytes arrived, the file ended or an error occurred;
// returns the bytes read.
int64_t PreadAll(int fd, uint8_t* buf, int64_t n, int64_t offset) {
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, size_t(n - done), off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
    }
    return done;
}

// Writes at an explicit offset; returns the bytes written (fewer than n on an error).
int64_t PwriteAll(int fd, const uint8_t* buf, int64_t n, int64_t offset) {
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::pwrite(fd, buf + done, size_t(n - done), off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
    }
    return done;
}

// Records are read in small pieces; copying those inline saves a library call per read.
inline void CopyBytes(uint8_t* to, const uint8_t* from, int32_t n) {
    if (n > 16) {
        std::memcpy(to, from, size_t(n));
    } else if (n >= 8) { // two overlapping words
        uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else {
        for (int32_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

} // namespace

uintptr_t MFileStream::Lock::SelfSlow() {
    // Any address unique to the calling thread will do; it is never 0.
    thread_local char tag;
    return reinterpret_cast<uintptr_t>(&tag);
}

namespace {

// The heavy half of the biased lock's handshake: a memory barrier on every running thread of
// the process. Biasing is used only where the kernel offers it.
bool ProcessBarrierAvailable() {
    static const bool available =
        ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return available;
}

void ProcessBarrier() {
    ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
}

// Backoff for a waiter: spin, then yield, then sleep up to a quarter millisecond per round.
void Pause(unsigned round) {
    if (round < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    } else if (round < 96) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(1u << std::min(round - 96, 8u)));
    }
}

} // namespace

void MFileStream::Lock::LockSlow(uintptr_t self) {
    if (m_owner.load(std::memory_order_relaxed) == self) { // re-entry
        ++m_depth;
        return;
    }
    if (!m_revoked.load(std::memory_order_acquire)) {
        // The first user takes the bias, and with it the lock.
        uintptr_t none = 0;
        if (ProcessBarrierAvailable() &&
            m_bias.compare_exchange_strong(none, self, std::memory_order_acq_rel,
                                           std::memory_order_relaxed) &&
            EnterBiased())
            return;
        // Anyone else ends the bias: after the barrier the biased holder either is seen
        // inside, or will see the revocation before it enters.
        if (!m_revoked.exchange(true, std::memory_order_acq_rel) && ProcessBarrierAvailable())
            ProcessBarrier();
    }
    for (unsigned round = 0; m_biasInside.load(std::memory_order_acquire); ++round) Pause(round);
    const uint32_t ticket = m_nextTicket.fetch_add(1, std::memory_order_relaxed);
    for (unsigned round = 0;; ++round) {
        const uint32_t serving = m_serving.load(std::memory_order_acquire);
        if (serving == ticket) break;
        // The next in line stays awake; the others sleep between looks.
        Pause(ticket - serving == 1 ? std::min(round, 95u) : round);
    }
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
}

MFileStream::~MFileStream() {
    Guard g(m_lock);
    DetachLocked();
}

bool MFileStream::Attach(int fd, bool readOnly) {
    Guard g(m_lock);
    DetachLocked();
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset < 0) return false; // reads and writes go to explicit offsets
    const int64_t size = st.st_size;
    const int32_t capacity = int32_t(std::min<int64_t>(size, kWindowSize));
    if (capacity > 0) {
        m_window = static_cast<uint8_t*>(std::malloc(size_t(capacity)));
        if (!m_window) return false;
    }
    m_windowCapacity = capacity;
    m_readOnly = readOnly;
    m_dirty = false;
    m_cursor = m_valid = 0;
    m_windowOffset = offset;
    m_position.store(offset, kRelaxed);
    m_fileSize.store(size, kRelaxed);
    m_writeError.store(false, kRelaxed);
    m_fd.store(fd, kRelaxed);
    return true;
}

void MFileStream::Detach() {
    Guard g(m_lock);
    DetachLocked();
}

void MFileStream::DetachLocked() {
    if (m_fd.load(kRelaxed) < 0) return;
    if (!m_readOnly && m_dirty) FlushLocked();
    m_fd.store(-1, kRelaxed);
    std::free(m_window);
    m_window = nullptr;
    m_windowCapacity = 0;
    m_valid = m_cursor = 0;
    m_dirty = false;
    m_windowOffset = 0;
    m_position.store(0, kRelaxed);
    m_fileSize.store(0, kRelaxed);
}

void MFileStream::Flush() {
    Guard g(m_lock);
    FlushLocked();
}

void MFileStream::FlushLocked() {
    const int fd = m_fd.load(kRelaxed);
    if (!m_dirty || fd < 0) return;
    if (m_valid > 0) {
        if (PwriteAll(fd, m_window, m_valid, m_windowOffset) != m_valid) m_writeError.store(true, kRelaxed);
        // While the window is dirty, the position is where its data ends.
        const int64_t end = m_windowOffset + m_valid;
        if (end > m_fileSize.load(kRelaxed)) m_fileSize.store(end, kRelaxed);
        m_position.store(end, kRelaxed);
        RestartWindow(end);
    }
    m_dirty = false;
}

void MFileStream::SyncWindow() {
    const int64_t pos = m_position.load(kRelaxed);
    if (pos >= m_windowOffset && pos <= m_windowOffset + m_valid)
        m_cursor = int32_t(pos - m_windowOffset);
    else
        RestartWindow(pos);
}

bool MFileStream::Write(const void* data, int32_t len) {
    Guard g(m_lock);
    const int fd = m_fd.load(kRelaxed);
    if (m_readOnly || !data || len <= 0 || fd < 0) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (m_windowCapacity < kWindowSize) {
        auto* grown = static_cast<uint8_t*>(std::realloc(m_window, kWindowSize));
        if (!grown) return false;
        m_window = grown;
        m_windowCapacity = kWindowSize;
    }
    int64_t pos = m_position.load(kRelaxed);
    if (len < m_windowCapacity) {
        if (m_cursor + len < m_windowCapacity) {
            std::memcpy(m_window + m_cursor, bytes, size_t(len));
            m_cursor += len;
            m_valid = m_cursor; // the window's data ends where the write ends
        } else {
            FlushLocked();
            pos = m_position.load(kRelaxed);
            std::memcpy(m_window, bytes, size_t(len));
            m_windowOffset = pos;
            m_cursor = m_valid = len;
        }
        pos += len;
        m_dirty = true;
    } else {
        FlushLocked();
        pos = m_position.load(kRelaxed);
        const int64_t written = PwriteAll(fd, bytes, len, pos);
        if (written != len) m_writeError.store(true, kRelaxed);
        pos += written;
        RestartWindow(pos);
    }
    m_position.store(pos, kRelaxed);
    if (pos > m_fileSize.load(kRelaxed)) m_fileSize.store(pos, kRelaxed);
    return true;
}

int64_t MFileStream::Seek(int64_t pos) {
    Guard g(m_lock);
    // Common case first: a clean window and a target inside it needs no clamping or flushing.
    if (!m_dirty && pos >= 0 && (!m_readOnly || pos <= m_fileSize.load(kRelaxed))) {
        const int64_t moved = pos - m_position.load(kRelaxed);
        const int64_t cursor = m_cursor + moved;
        if (cursor >= 0 && cursor <= m_valid && moved <= m_valid && -moved <= m_valid) {
            m_cursor = int32_t(cursor);
            m_position.store(pos, kRelaxed);
            return pos;
        }
    }
    return SeekLocked(pos);
}

int64_t MFileStream::SeekLocked(int64_t pos) {
    const int64_t current = m_position.load(kRelaxed);
    if (pos == current) return pos;
    if (pos < 0) pos = 0;
    if (m_readOnly && pos > m_fileSize.load(kRelaxed)) pos = m_fileSize.load(kRelaxed);
    if (m_dirty) FlushLocked(); // leaves an empty window, so any move below restarts it at pos
    const int64_t moved = pos - m_position.load(kRelaxed);
    const int64_t cursor = m_cursor + moved;
    if (cursor < 0 || cursor > m_valid || moved > m_valid || -moved > m_valid)
        RestartWindow(pos);
    else
        m_cursor = int32_t(cursor);
    m_position.store(pos, kRelaxed);
    return pos;
}

int64_t MFileStream::GetPosition() {
    return m_position.load(kRelaxed);
}

int64_t MFileStream::GetSize() {
    return m_fileSize.load(kRelaxed);
}

void MFileStream::Refill(int32_t len) {
    const int64_t pos = m_position.load(kRelaxed);
    int64_t offset;
    if (m_windowCapacity >= m_fileSize.load(kRelaxed))
        offset = 0; // the whole file fits: cache it once
    else if (len < m_windowCapacity / 2)
        // The requested bytes end in the middle of the window, so the bytes before them are
        // cached too and a backward walk hits as well as a forward one.
        offset = std::max<int64_t>(0, pos + len - m_windowCapacity / 2);
    else
        offset = pos;
    m_valid = int32_t(PreadAll(m_fd.load(kRelaxed), m_window, m_windowCapacity, offset));
    m_windowOffset = offset;
    m_refills.fetch_add(1, kRelaxed);
    SyncWindow();
}

int32_t MFileStream::Read(void* buf, int32_t len) {
    Guard g(m_lock);
    // Common case first: a clean window that holds all the requested bytes (the cursor always
    // matches the position, so nothing else needs checking).
    if (len > 0 && !m_dirty && m_valid - m_cursor >= len && buf) {
        CopyBytes(static_cast<uint8_t*>(buf), m_window + m_cursor, len);
        m_cursor += len;
        m_position.store(m_position.load(kRelaxed) + len, kRelaxed);
        return len;
    }
    return ReadLocked(buf, len);
}

int32_t MFileStream::ReadLocked(void* buf, int32_t len) {
    if (!buf || len < 0) return -1;
    if (len == 0) return 0;
    const int fd = m_fd.load(kRelaxed);
    if (fd < 0) return -1;
    if (m_dirty) FlushLocked();
    auto* out = static_cast<uint8_t*>(buf);
    int64_t pos = m_position.load(kRelaxed);
    if (len > m_windowCapacity) {
        const int64_t n = PreadAll(fd, out, len, pos);
        pos += n;
        m_position.store(pos, kRelaxed);
        // Bytes that were read exist; a position left past the end by a seek proves nothing.
        if (n > 0 && pos > m_fileSize.load(kRelaxed)) m_fileSize.store(pos, kRelaxed);
        SyncWindow();
        return int32_t(n);
    }
    if (pos < m_windowOffset || pos >= m_windowOffset + m_valid || m_valid - m_cursor < len) Refill(len);
    const int32_t count = std::min(len, m_valid - m_cursor);
    CopyBytes(out, m_window + m_cursor, count);
    m_cursor += count;
    m_position.store(pos + count, kRelaxed);
    return count;
}
