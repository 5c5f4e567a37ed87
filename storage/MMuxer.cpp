#include "storage/MMuxer.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {
// Bytes read at a time while looking for the next marker over damaged or foreign bytes.
constexpr int32_t kScanBlock = 512;
} // namespace

void MMuxer::SetStream(MBaseStream* stream) {
    MAutoLock lock(m_lock);
    m_stream = stream;
    Reset();
}

void MMuxer::Reset() {
    MAutoLock lock(m_lock);
    m_valid = false;
    m_position = 0;
    m_headerLength = 0;
    m_header.Clear();
}

int MMuxer::ReadHeader(int64_t pos, int64_t size, ChunkHeader& header) {
    if (pos < 0 || pos >= size) return 0;
    if (m_stream->Seek(pos) != pos && m_stream->GetPosition() != pos) return 0;
    uint8_t buf[ChunkHeader::kMaxSize];
    // Never ask for bytes past the end: a short read near the end would refill the file
    // window on every call of a backward scan.
    const int32_t want = int32_t(std::min<int64_t>(sizeof buf, size - pos));
    const int32_t got = m_stream->Read(buf, want);
    if (got < 2) return 0;
    return header.Parse(buf, size_t(got), pos, size);
}

bool MMuxer::ByteAt(int64_t pos, uint8_t& byte) {
    if (m_stream->Seek(pos) != pos && m_stream->GetPosition() != pos) return false;
    return m_stream->Read(&byte, 1) == 1;
}

int64_t MMuxer::FindMarker(int64_t from, int64_t size) {
    uint8_t buf[kScanBlock];
    while (from < size) {
        if (m_stream->Seek(from) != from && m_stream->GetPosition() != from) return size;
        const int32_t got = m_stream->Read(buf, int32_t(std::min<int64_t>(kScanBlock, size - from)));
        if (got <= 0) return size;
        if (const void* hit = std::memchr(buf, ChunkHeader::kMarker, size_t(got)))
            return from + (static_cast<const uint8_t*>(hit) - buf);
        from += got;
    }
    return size;
}

int64_t MMuxer::FindMarkerBack(int64_t from) {
    uint8_t buf[kScanBlock];
    while (from >= 0) {
        const int64_t start = std::max<int64_t>(0, from - (kScanBlock - 1));
        if (m_stream->Seek(start) != start && m_stream->GetPosition() != start) return -1;
        const int32_t want = int32_t(from - start + 1);
        if (m_stream->Read(buf, want) != want) return -1;
        for (int32_t i = want - 1; i >= 0; --i)
            if (buf[i] == ChunkHeader::kMarker) return start + i;
        from = start - 1;
    }
    return -1;
}

bool MMuxer::Current() {
    MAutoLock lock(m_lock);
    return m_valid || Next();
}

bool MMuxer::Next() {
    MAutoLock lock(m_lock);
    if (!m_stream) return false;
    int64_t p = m_position + (m_valid ? m_headerLength + m_header.length : 0);
    if (p < 0) p = 0;
    const int64_t size = m_stream->GetSize();
    bool resync = false;
    ChunkHeader header;
    while (p < size) {
        int hl = ReadHeader(p, size, header);
        if (hl && resync) {
            // A candidate found by stepping over bad bytes must be followed by another chunk.
            const int64_t end = p + hl + header.length;
            uint8_t byte = 0;
            if (end < size && (!ByteAt(end, byte) || byte != ChunkHeader::kMarker)) hl = 0;
        }
        if (hl) {
            m_header = header;
            m_position = p;
            m_headerLength = hl;
            m_valid = true;
            return true;
        }
        // Every offset without the marker byte fails the first check, so jump to the next one.
        resync = true;
        p = FindMarker(p + 1, size);
    }
    m_valid = false;
    return false;
}

bool MMuxer::Prev() {
    MAutoLock lock(m_lock);
    if (!m_stream || !m_valid) return false;
    const int64_t back = m_header.backLink;
    if (back <= 0) return false;
    const int64_t q = m_position - back;
    if (q < 0 || q == m_position) return false;
    ChunkHeader header;
    const int hl = ReadHeader(q, m_stream->GetSize(), header);
    if (!hl) return false; // the current chunk stays as it was
    m_header = header;
    m_position = q;
    m_headerLength = hl;
    return true;
}

bool MMuxer::Last() {
    MAutoLock lock(m_lock);
    if (!m_stream) return false;
    const int64_t size = m_stream->GetSize();
    m_valid = false;
    ChunkHeader candidate, predecessor;
    // A chunk is at least 6 bytes long only if its payload has 2 bytes; shorter last chunks
    // are not looked for.
    for (int64_t p = size - 6; p >= 0; --p) {
        p = FindMarkerBack(p);
        if (p < 0) break;
        const int hl = ReadHeader(p, size, candidate);
        if (!hl) continue;
        bool stands = false;
        if (candidate.backLink > 0) {
            const int64_t q = p - candidate.backLink;
            if (q >= 0) {
                const int phl = ReadHeader(q, size, predecessor);
                stands = phl && q + phl + predecessor.length == p;
            }
        } else {
            stands = candidate.backLink == -1;
        }
        if (stands) {
            m_header = candidate;
            m_position = p;
            m_headerLength = hl;
            m_valid = true;
            return true;
        }
    }
    return false;
}

bool MMuxer::SeekChunk(int64_t pos) {
    MAutoLock lock(m_lock);
    m_position = std::max<int64_t>(pos, 0);
    m_headerLength = 0;
    m_header.Clear();
    m_valid = false;
    return Next();
}

bool MMuxer::IsComplete() {
    MAutoLock lock(m_lock);
    if (!m_stream || !m_valid) return false;
    const int64_t size = m_stream->GetSize();
    const int64_t after = m_position + m_headerLength;
    return after <= size && m_header.length <= size - after;
}

int32_t MMuxer::ReadPayload(void* buf, int32_t offset, int32_t count) {
    MAutoLock lock(m_lock);
    if (count == 0) return 0;
    if (!m_stream || !m_valid) return -1;
    const int64_t length = m_header.length;
    const int64_t d = m_position + m_headerLength;
    if (m_stream->Seek(d) != d && m_stream->GetPosition() != d) return -1;
    if (m_stream->GetSize() - d < length) return -1; // still growing or cut off
    int64_t from = offset < 1 ? 0 : offset;
    if (from >= length) return -1;
    if (from > 0 && m_stream->Seek(d + from) != d + from) return -1;
    int64_t n = count < 0 ? length : count;
    if (from + n > length) n = length - from;
    return m_stream->Read(buf, int32_t(std::min<int64_t>(n, INT32_MAX)));
}

bool MMuxer::WriteChunk(uint8_t id, const void* data, int32_t len, bool link) {
    MAutoLock lock(m_lock);
    if (id > ChunkHeader::kMaxStreamId || !data || len <= 0 || !m_stream) return false;
    const int64_t q = m_position + m_headerLength + m_header.length;
    if (m_stream->Seek(q) != q && m_stream->GetPosition() != q) return false;
    ChunkHeader header;
    header.streamId = id;
    header.backLink = link ? q - m_position : -1;
    header.length = len;
    uint8_t buf[ChunkHeader::kMaxSize];
    const int n = header.Encode(buf);
    // On a failed write the current chunk stays, so the next chunk goes over the broken one.
    if (!m_stream->Write(buf, n)) return false;
    if (!m_stream->Write(data, len)) return false;
    m_position = q;
    m_headerLength = n;
    m_header = header;
    m_valid = true;
    return true;
}

bool MMuxer::IsValid() {
    MAutoLock lock(m_lock);
    return m_valid;
}

uint8_t MMuxer::StreamId() {
    MAutoLock lock(m_lock);
    return m_header.streamId;
}

int32_t MMuxer::PayloadLength() {
    MAutoLock lock(m_lock);
    return int32_t(std::clamp<int64_t>(m_header.length, INT32_MIN, INT32_MAX));
}

int64_t MMuxer::Position() {
    MAutoLock lock(m_lock);
    return m_position;
}

int32_t MMuxer::HeaderLength() {
    MAutoLock lock(m_lock);
    return m_headerLength;
}

int64_t MMuxer::End() {
    MAutoLock lock(m_lock);
    return m_position + m_headerLength + m_header.length;
}

ChunkHeader MMuxer::Header() {
    MAutoLock lock(m_lock);
    return m_header;
}
