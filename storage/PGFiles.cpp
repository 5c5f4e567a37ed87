#include "storage/PGFiles.h"

#include "core/FileUtils.h"
#include "core/MStream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Metadata payloads up to this size are kept after Open to tell whether Close must write.
constexpr int32_t kKeptMetadataBytes = 64 * 1024;
// A seek whose target lies within this of the reader's time walks from where the reader is;
// the search for a start stamp stops once it has one this close below the target.
constexpr int64_t kNearMs = 10'000;
// The search aims this far below the target, so that the stamp it finds lies just before it.
constexpr int64_t kAimBeforeMs = 4'000;

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// x truncated toward zero into lo ... hi; NaN gives 0.
template <class T>
T TruncClamp(double x, T lo, T hi) {
    if (x >= double(hi)) return hi;
    if (x <= double(lo)) return lo;
    if (x != x) return 0;
    return T(x);
}

int16_t ToSample(double v) {
    return TruncClamp<int16_t>(v * 10000.0, INT16_MIN, INT16_MAX);
}
// Whole milliseconds, truncated; a time that is a whole millisecond but summed from inexact
// periods (28 x 0.002 s is not exact in binary) may lie a hair below it and keeps its millisecond.
uint32_t ToMs(double seconds) {
    return TruncClamp<uint32_t>(seconds * 1000.0 + 1e-6, 0, UINT32_MAX);
}

PGFiles::TimeStamp DecodeStamp(const uint8_t* p) {
    return {int32_t(Get32(p)), Get32(p + 4), Get16(p + 8), Get16(p + 10)};
}

// Isoline search window from the heart rate: one and a half beat periods, 1 ... 5 s.
double SearchWindow(double hr) {
    if (hr < 30) return 5.0;
    if (hr > 100) return 1.0;
    return float(1.5 * 60.0 / hr);
}

// Read-only view of the current chunk's payload, so that metadata parses straight from the
// file without being loaded whole.
class PayloadStream final : public MBaseStream {
public:
    PayloadStream(MMuxer& mux, int64_t length) : m_mux(mux), m_length(length) {}
    bool Write(const void*, int32_t) override { return false; }
    int64_t Seek(int64_t pos) override {
        if (pos < 0 || pos > m_length) return -1;
        return m_pos = pos;
    }
    int64_t GetPosition() override { return m_pos; }
    int64_t GetSize() override { return m_length; }
    int32_t Read(void* buf, int32_t len) override {
        if (!buf || len < 0) return -1;
        const int64_t n = std::min<int64_t>(len, m_length - m_pos);
        if (n <= 0 || m_pos > INT32_MAX) return 0;
        const int32_t got = m_mux.ReadPayload(buf, int32_t(m_pos), int32_t(n));
        if (got <= 0) return 0;
        m_pos += got;
        return got;
    }

private:
    MMuxer& m_mux;
    int64_t m_length;
    int64_t m_pos = 0;
};

// Chunk headers read straight from the file with pread, outside the file stream's window: the
// probes of a seek land far apart, and each would otherwise refill the whole window.
class RawScanner {
public:
    struct Stamp {
        int64_t pos = -1;
        uint32_t ms = 0;
    };

    RawScanner(int fd, int64_t size) : m_fd(fd), m_size(size) {}

    // The first time stamp at or after a chunk boundary found from `from` on, before `limit`.
    // A boundary counts when a header there starts a chain of linked chunks, so that bytes
    // inside a payload that happen to look like a header are not taken for one.
    bool FirstStamp(int64_t from, int64_t limit, Stamp& out) {
        int64_t p = from;
        const int64_t scanEnd = std::min(limit, from + kMaxScan);
        int64_t boundary = -1;
        while (p < scanEnd && boundary < 0) {
            int32_t avail = 0;
            const uint8_t* b = At(p, kBufSize, avail);
            if (!b) return false;
            const void* hit =
                std::memchr(b, ChunkHeader::kMarker, size_t(std::min<int64_t>(avail, scanEnd - p)));
            if (!hit) {
                p += avail;
                continue;
            }
            const int64_t c = p + (static_cast<const uint8_t*>(hit) - b);
            if (IsChainStart(c)) boundary = c;
            p = c + 1;
        }
        if (boundary < 0) return false;
        ChunkHeader h;
        for (int64_t cur = boundary; cur < limit && cur - boundary < kMaxScan;) {
            const int hl = HeaderAt(cur, h);
            if (!hl) return false;
            if (h.streamId == PGFiles::kTimeStampId && h.length == PGFiles::kTimeStampSize) {
                int32_t avail = 0;
                const uint8_t* b = At(cur + hl, PGFiles::kTimeStampSize, avail);
                if (!b || avail < PGFiles::kTimeStampSize) return false;
                out = {cur, DecodeStamp(b).timeMs};
                return true;
            }
            cur += hl + h.length;
        }
        return false;
    }

private:
    static constexpr int32_t kBufSize = 16 * 1024;
    static constexpr int64_t kMaxScan = 256 * 1024;
    static constexpr int kChainLinks = 3;

    // Up to n bytes at pos (fewer at the end of the file); null outside the file.
    const uint8_t* At(int64_t pos, int32_t n, int32_t& avail) {
        if (pos < 0 || pos >= m_size) return nullptr;
        const int64_t want = std::min<int64_t>(n, m_size - pos);
        if (pos < m_bufPos || pos + want > m_bufPos + m_bufLen) {
            m_bufPos = pos;
            m_bufLen = 0;
            while (m_bufLen < kBufSize) {
                const ssize_t r =
                    ::pread(m_fd, m_buf + m_bufLen, size_t(kBufSize - m_bufLen), off_t(pos + m_bufLen));
                if (r <= 0) break;
                m_bufLen += int32_t(r);
            }
            if (m_bufLen <= 0) return nullptr;
        }
        avail = int32_t(m_bufPos + m_bufLen - pos);
        return m_buf + (pos - m_bufPos);
    }

    int HeaderAt(int64_t pos, ChunkHeader& h) {
        int32_t avail = 0;
        const uint8_t* b = At(pos, ChunkHeader::kMaxSize, avail);
        if (!b) return 0;
        return h.Parse(b, size_t(std::min(avail, ChunkHeader::kMaxSize)), pos, m_size);
    }

    bool IsChainStart(int64_t pos) {
        ChunkHeader h;
        int64_t cur = pos;
        for (int i = 0; i <= kChainLinks; ++i) {
            const int hl = HeaderAt(cur, h);
            if (!hl) return false;
            if (i > 0 && h.backLink != cur - pos) return false;
            pos = cur;
            cur += hl + h.length;
            if (cur == m_size) return true;
        }
        return true;
    }

    int m_fd;
    int64_t m_size;
    uint8_t m_buf[kBufSize];
    int64_t m_bufPos = -1;
    int32_t m_bufLen = 0;
};

bool SameFile(int a, int b) {
    struct stat sa {
    }, sb{};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

PGFiles::PGFiles() : HeartRateQueue(kHeartRateQueueCapacity), m_isoFilter(kIsoFilterCapacity) {}

PGFiles::~PGFiles() {
    Close();
}

void PGFiles::ResetFields() {
    m_path.Clear();
    m_writing = false;
    m_mode = OpenMode::Update;
    m_lastStampSecond = 0;
    m_stamp = {0, 0, 0, kAmplitudeDivisor};
    m_hrFields = {};
    m_regFields = {};
    m_readOffset = 0;
    m_startTime = m_endTime = -1.0;
    m_currentTime = 0.0;
    m_flushedTime = 0.0;
    m_metaIsLast = m_metaKnown = m_isRecord = false;
    m_metaBytes.clear();
    m_firstStamp = m_lastStamp = {};
    m_writeBuffer.clear();
    m_writeBuffer.shrink_to_fit();
    m_isoFilter.Reset();
    Metadata.Clear();
}

bool PGFiles::Create(const MString& path) {
    Close();
    const int fd = CreateForWrite(path);
    if (fd < 0) return false;
    if (!m_stream.Attach(fd, false)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_writing = true;
    m_mux.SetStream(&m_stream);
    HeartRateQueue.Clear();
    return true;
}

bool PGFiles::Open(const MString& path, OpenMode mode) {
    Close();
    const int fd = OpenForRead(path);
    if (fd < 0) return false;
    if (!m_stream.Attach(fd, true)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_writing = false;
    m_mode = mode;
    m_mux.SetStream(&m_stream);
    HeartRateQueue.Clear();
    // Every record starts with a chunk at offset 0 that links to nothing (a fresh container's
    // first chunk); Close writes metadata into nothing else.
    m_isRecord = m_stream.GetSize() == 0 ||
                 (m_mux.SeekChunk(0) && m_mux.Position() == 0 && m_mux.Header().backLink == 0);
    // One backward scan for the last chunk serves both loaders: in a file that is not a record it
    // runs over the whole file.
    const int64_t last = m_mux.Last() ? m_mux.Position() : -1;
    LoadMetadata(last);
    LoadTimeRange(last);
    m_mux.SeekChunk(0);
    m_readOffset = 0;
    m_currentTime = 0.0;
    return true;
}

void PGFiles::LoadMetadata(int64_t last) {
    if (last < 0 || !m_mux.SeekChunk(last)) return;
    bool isLast = true;
    while (m_mux.StreamId() != kMetadataId) {
        if (!m_mux.Prev()) return;
        isLast = false;
    }
    const int32_t length = m_mux.PayloadLength();
    if (!m_mux.IsComplete() || length <= 0) return;
    PayloadStream view(m_mux, length);
    Metadata.ReadFrom(view); // a damaged list keeps the entries read before the damage
    m_metaIsLast = isLast;
    if (length <= kKeptMetadataBytes) {
        m_metaBytes.resize(size_t(length));
        m_metaKnown = m_mux.ReadPayload(m_metaBytes.data(), 0, length) == length;
    }
}

void PGFiles::LoadTimeRange(int64_t last) {
    uint8_t p[kTimeStampSize];
    if (m_mux.SeekChunk(0)) {
        do {
            if (m_mux.StreamId() != kTimeStampId) continue;
            if (m_mux.PayloadLength() == kTimeStampSize &&
                m_mux.ReadPayload(p, 0, kTimeStampSize) == kTimeStampSize) {
                // Reading from the start before any seek then uses this stamp's period and divisor.
                m_stamp = DecodeStamp(p);
                m_startTime = m_stamp.timeMs * 0.001;
                m_firstStamp = {m_mux.Position(), m_stamp.timeMs};
            }
            break;
        } while (m_mux.Next());
    }
    if (last >= 0 && m_mux.SeekChunk(last)) {
        do {
            if (m_mux.StreamId() != kTimeStampId) continue;
            if (m_mux.PayloadLength() == kTimeStampSize &&
                m_mux.ReadPayload(p, 0, kTimeStampSize) == kTimeStampSize) {
                const TimeStamp s = DecodeStamp(p);
                m_endTime = s.timeMs * 0.001;
                m_lastStamp = {m_mux.Position(), s.timeMs};
            }
            break;
        } while (m_mux.Prev());
    }
}

void PGFiles::Close() {
    if (m_fd >= 0) {
        StoreMetadata();
        m_stream.Detach();
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    m_mux.SetStream(nullptr);
    ResetFields();
}

void PGFiles::StoreMetadata() {
    if (!m_writing && m_mode == OpenMode::ReadOnly) return;
    MStream image;
    if (!Metadata.WriteTo(image)) return;
    const uint8_t* bytes = image.Data();
    const int64_t size = image.GetSize();
    if (size <= 0 || size > INT32_MAX) return;
    const int32_t len = int32_t(size);
    if (m_writing) {
        // Everything in a created file was written by this object: the current chunk is the
        // last one, and there is no earlier metadata chunk.
        m_mux.WriteChunk(kMetadataId, bytes, len, true);
        return;
    }
    if (!m_isRecord) return;
    if (m_metaKnown && m_metaIsLast && m_metaBytes.size() == size_t(len) &&
        std::memcmp(m_metaBytes.data(), bytes, size_t(len)) == 0)
        return; // the file already ends with exactly this metadata
    int64_t at = 0, backLink = 0;
    if (!LocateMetadataSlot(at, backLink)) return;
    // Reopen for writing, the same file only (it may have been replaced under its name), and
    // write the one chunk straight to it: no write window is needed for a few hundred bytes.
    const int fd = OpenForReadWrite(m_path);
    if (fd < 0) return;
    if (SameFile(fd, m_fd)) {
        ChunkHeader header;
        header.streamId = kMetadataId;
        header.backLink = backLink;
        header.length = len;
        std::vector<uint8_t> chunk(ChunkHeader::kMaxSize + size_t(len));
        const int hl = header.Encode(chunk.data());
        std::memcpy(chunk.data() + hl, bytes, size_t(len));
        chunk.resize(size_t(hl) + size_t(len));
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t r =
                ::pwrite(fd, chunk.data() + done, chunk.size() - done, off_t(at + int64_t(done)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break; // nothing to report at this level
            done += size_t(r);
        }
    }
    ::close(fd);
}

bool PGFiles::LocateMetadataSlot(int64_t& at, int64_t& backLink) {
    // The new chunk goes right after the muxer's current chunk, linked to it.
    auto after = [&] {
        at = m_mux.End();
        backLink = at - m_mux.Position();
        return true;
    };
    if (m_mux.Last()) {
        // A last metadata chunk is replaced in place (written after its predecessor); any
        // other last chunk gets the metadata after it. An older metadata chunk deeper in the
        // file is not overwritten: the chunks behind it would be lost.
        if (m_mux.StreamId() == kMetadataId) m_mux.Prev();
        return after();
    }
    if (m_stream.GetSize() == 0) { // a fresh container
        at = backLink = 0;
        return true;
    }
    // Last finds no chunk in a record of a single chunk (it links to nothing). Append after the
    // chunks that follow each other from offset 0.
    if (!m_mux.SeekChunk(0) || m_mux.Position() != 0) return false;
    int64_t lastPos = 0;
    for (;;) {
        const int64_t end = m_mux.End();
        if (!m_mux.Next() || m_mux.Position() != end) break;
        lastPos = end;
    }
    return m_mux.SeekChunk(lastPos) && m_mux.Position() == lastPos && after();
}

bool PGFiles::WriteSamples(const double* values, int32_t n, double period) {
    if (!values || n <= 0 || n > INT32_MAX / 2 || !(period > 0) || !IsWriting()) return false;
    if (m_currentTime - m_lastStampSecond > kStampInterval) {
        m_lastStampSecond = TruncClamp<int32_t>(m_currentTime, 0, INT32_MAX);
        m_stamp.wallClock = int32_t(std::time(nullptr));
        m_stamp.timeMs = ToMs(m_currentTime);
        m_stamp.periodMs = TruncClamp<uint16_t>(period * 1000.0, 0, UINT16_MAX);
        m_stamp.divisor = kAmplitudeDivisor;
        uint8_t p[kTimeStampSize];
        Put32(p, uint32_t(m_stamp.wallClock));
        Put32(p + 4, m_stamp.timeMs);
        Put16(p + 8, m_stamp.periodMs);
        Put16(p + 10, m_stamp.divisor);
        m_mux.WriteChunk(kTimeStampId, p, kTimeStampSize, true);
    }
    if (m_writeBuffer.size() < size_t(n)) m_writeBuffer.resize(size_t(n));
    int16_t* out = m_writeBuffer.data();
    for (int32_t i = 0; i < n; ++i) out[i] = ToSample(values[i]);
    m_currentTime += n * period;
    const bool ok = m_mux.WriteChunk(kSamplesId, out, 2 * n, true);
    if (m_currentTime - m_flushedTime >= kFlushInterval) {
        // The window would otherwise hold up to 1 MiB (minutes of a recording) that a crash
        // or a kill would lose.
        m_stream.Flush();
        m_flushedTime = m_currentTime;
    }
    return ok;
}

bool PGFiles::WriteHeartRate(double hr, double time) {
    if (!IsWriting()) return false;
    m_hrFields.timeMs = ToMs(time);
    m_hrFields.hr100 = TruncClamp<uint16_t>(hr * 100.0, 0, UINT16_MAX);
    uint8_t p[kHeartRateSize] = {};
    Put32(p, m_hrFields.timeMs);
    Put16(p + 4, m_hrFields.hr100);
    return m_mux.WriteChunk(kHeartRateId, p, kHeartRateSize, true);
}

bool PGFiles::WriteRegulatorState(uint8_t lfCode, uint8_t ledCode, uint8_t activeLed) {
    if (!IsWriting()) return false;
    m_regFields = {ToMs(m_currentTime), activeLed, lfCode, ledCode};
    uint8_t p[kRegulatorSize] = {};
    Put32(p, m_regFields.timeMs);
    p[4] = activeLed;
    p[5] = lfCode;
    p[6] = ledCode;
    return m_mux.WriteChunk(kRegulatorId, p, kRegulatorSize, true);
}

void PGFiles::ReadTimeStamp() {
    uint8_t p[kTimeStampSize];
    if (m_mux.PayloadLength() != kTimeStampSize || m_mux.ReadPayload(p, 0, kTimeStampSize) != kTimeStampSize)
        return;
    m_stamp = DecodeStamp(p);
    m_currentTime = m_stamp.timeMs * 0.001;
}

bool PGFiles::ReadHeartRate() {
    uint8_t p[kHeartRateSize];
    if (m_mux.PayloadLength() != kHeartRateSize || m_mux.ReadPayload(p, 0, kHeartRateSize) != kHeartRateSize)
        return false;
    m_hrFields = {Get32(p), Get16(p + 4)};
    sHrMeasure m;
    m.hr = float(m_hrFields.hr100 * 0.01);
    m.time = m_hrFields.timeMs * 0.001;
    HeartRateQueue.Push(m);
    return true;
}

void PGFiles::ReadRegulatorState() {
    uint8_t p[kRegulatorSize];
    if (m_mux.PayloadLength() != kRegulatorSize || m_mux.ReadPayload(p, 0, kRegulatorSize) != kRegulatorSize)
        return;
    m_regFields = {Get32(p), p[4], p[5], p[6]};
}

bool PGFiles::StepForward() {
    m_readOffset = 0;
    const int64_t end = m_mux.End();
    if (m_mux.Next()) return true;
    // Leave the muxer just past the last chunk: a later read probes there (and finds chunks
    // appended meanwhile) instead of taking the last chunk again.
    m_mux.SeekChunk(end);
    return false;
}

int32_t PGFiles::ReadRawSamples(double* values, double* times, int32_t n) {
    if (!values || !times || n <= 0 || !IsReading()) return 0;
    if (!m_mux.Current()) return 0;
    int32_t got = 0;
    while (got < n) {
        switch (m_mux.StreamId()) {
            case kSamplesId: {
                const double scale = m_stamp.divisor > 0.000001 ? 1.0 / m_stamp.divisor : 1.0;
                const double step = m_stamp.periodMs * 0.001;
                const int32_t count = m_mux.PayloadLength() / 2;
                int32_t index = m_readOffset / 2;
                double t = m_currentTime;
                while (index < count && got < n) {
                    const int32_t want = std::min({count - index, n - got, kReadBlock});
                    if (m_mux.ReadPayload(m_readBuffer, 2 * index, 2 * want) != 2 * want) {
                        index = count; // cut off under us: nothing more in this chunk
                        break;
                    }
                    double* v = values + got;
                    double* tm = times + got;
                    for (int32_t i = 0; i < want; ++i) {
                        v[i] = m_readBuffer[i] * scale;
                        tm[i] = t;
                        t += step;
                    }
                    got += want;
                    index += want;
                }
                m_currentTime = t;
                m_readOffset = 2 * index;
                if (got >= n) return got; // the rest of this chunk comes next time
                break;
            }
            case kTimeStampId:
                ReadTimeStamp();
                break;
            case kHeartRateId:
                ReadHeartRate();
                break;
            case kRegulatorId:
                ReadRegulatorState();
                break;
            default:
                break;
        }
        if (!StepForward()) break;
    }
    return got;
}

int32_t PGFiles::ReadSamples(double* values, double* times, int32_t n) {
    if (!IsolineCorrection) return ReadRawSamples(values, times, n);
    if (!values || !times || n <= 0 || !IsReading()) return 0;
    int32_t got = 0;
    while (got < n) {
        const int ready = m_isoFilter.GetReadyCount();
        if (ready > 0) {
            got += m_isoFilter.GetPoints(times + got, values + got, std::min(ready, n - got));
            continue;
        }
        const int32_t r = ReadRawSamples(m_isoValues, m_isoTimes, kIsoFeedBlock);
        if (r <= 0) break;
        m_isoFilter.Period = SearchWindow(CurrentHeartRate());
        m_isoFilter.PutPoints(m_isoTimes, m_isoValues, r);
    }
    return got;
}

int32_t PGFiles::ReadHeartRates(double* hr, double* times, int32_t n) {
    if (!hr || !times || n <= 0 || !IsReading()) return 0;
    if (!m_mux.Current()) return 0;
    int32_t got = 0;
    while (got < n) {
        if (m_mux.StreamId() == kHeartRateId && ReadHeartRate()) {
            hr[got] = m_hrFields.hr100 * 0.01;
            times[got] = m_hrFields.timeMs * 0.001;
            ++got;
        }
        if (!StepForward()) break;
    }
    return got;
}

PGFiles::ReadPosition PGFiles::GetReadPosition() {
    if (!m_mux.IsValid()) return {-1, m_readOffset};
    return {m_mux.Position(), m_readOffset};
}

bool PGFiles::SeekTime(double t, bool noPreroll) {
    if (!IsReading()) return true;
    m_isoFilter.Reset();
    if (!IsolineCorrection || noPreroll) {
        PositionAt(t);
        return true;
    }
    PositionAt(t - kIsoPreroll);
    // Warm the filter up: read and drop corrected samples until the next one lies at most 100
    // sample periods before t.
    constexpr int32_t kBlock = 100;
    double values[kBlock], times[kBlock];
    for (;;) {
        const int32_t r = ReadSamples(values, times, kBlock);
        if (r <= 0 || times[r - 1] + kBlock * (m_stamp.periodMs * 0.001) >= t) break;
    }
    return true;
}

bool PGFiles::FindNearStamp(int64_t target, StampRef& start) {
    const StampRef first = m_firstStamp, last = m_lastStamp;
    if (first.pos < 0 || last.pos <= first.pos || last.ms <= first.ms) return false;
    if (target <= int64_t(first.ms)) {
        start = first;
        return true;
    }
    if (target > int64_t(last.ms)) {
        start = last;
        return true;
    }
    // Interpolation search on file offsets: stamps are written at a steady rate, so one or two
    // probes usually land a few seconds before the target. Only the start of the walk comes
    // from here; the walk itself decides, so a stamp found here can only make it shorter.
    RawScanner scan(m_fd, m_stream.GetSize());
    StampRef lo = first;
    int64_t hiPos = last.pos, hiMs = last.ms;
    for (int i = 0; i < 40 && target - int64_t(lo.ms) > kNearMs && hiPos - lo.pos > 2; ++i) {
        const double aim = std::max<double>(0, double(target - kAimBeforeMs - int64_t(lo.ms)));
        const double frac = aim / double(hiMs - int64_t(lo.ms));
        int64_t guess = lo.pos + int64_t(frac * double(hiPos - lo.pos));
        guess = std::clamp(guess, lo.pos + 1, hiPos - 1);
        RawScanner::Stamp s;
        if (!scan.FirstStamp(guess, hiPos, s)) {
            hiPos = guess; // nothing usable between guess and hiPos
            continue;
        }
        if (s.ms <= lo.ms || int64_t(s.ms) > hiMs) return false; // not increasing: walk
        if (int64_t(s.ms) < target) {
            lo = {s.pos, s.ms};
        } else {
            hiPos = guess;
            hiMs = s.ms;
        }
    }
    start = lo;
    return true;
}

int PGFiles::SkipSamples(int64_t count, int64_t stopAt) {
    int64_t bytes = 2 * count;
    while (StepForward()) {
        if (m_mux.Position() == stopAt) return kSkipReached;
        switch (m_mux.StreamId()) {
            case kHeartRateId:
                ReadHeartRate();
                break;
            case kRegulatorId:
                ReadRegulatorState();
                break;
            case kSamplesId: {
                const int64_t length = m_mux.PayloadLength();
                if (bytes < length) {
                    m_readOffset = int32_t(bytes);
                    return kSkipLanded;
                }
                bytes -= length;
                break;
            }
            default:
                break;
        }
    }
    return kSkipEnd;
}

bool PGFiles::WalkToStamps(int64_t target, StampRef& before, StampRef& after) {
    // Backwards from the current chunk (forwards from the first when there is none) until a
    // stamp below the target and the next one at or above it are known, or the chunks run out.
    bool backward = true;
    if (!m_mux.Current()) {
        m_mux.Reset();
        if (!m_mux.Next()) return false;
        backward = false;
    }
    const int64_t startPos = m_mux.Position();
    bool met = false, turned = false;
    uint8_t p[kTimeStampSize];
    for (;;) {
        if (m_mux.StreamId() == kTimeStampId && m_mux.PayloadLength() == kTimeStampSize &&
            m_mux.ReadPayload(p, 0, kTimeStampSize) == kTimeStampSize) {
            m_stamp = DecodeStamp(p);
            met = true;
            if (int64_t(m_stamp.timeMs) < target) {
                before = {m_mux.Position(), m_stamp.timeMs};
                backward = false;
            } else {
                after = {m_mux.Position(), m_stamp.timeMs};
                backward = true;
            }
            if (before.pos >= 0 && after.pos >= 0) break;
        }
        if (backward) {
            if (m_mux.Prev()) continue;
            if (met || turned) break;
            // Nothing but chunks before the first stamp behind us: go forwards instead.
            turned = true;
            backward = false;
            m_mux.SeekChunk(startPos);
        }
        if (!m_mux.Next()) break;
    }
    return true;
}

void PGFiles::PositionAt(double t) {
    const double ms = t * 1000.0;
    const int64_t target = ms != ms ? 0 : int64_t(std::clamp(ms, -1e15, 1e15));
    const ReadPosition saved = GetReadPosition();
    const int64_t savedPos = m_mux.Position();

    // Far from where the reader is, start the walk at a stamp near t instead.
    const bool near =
        m_mux.IsValid() && std::fabs(m_currentTime * 1000.0 - double(target)) <= double(kNearMs);
    StampRef start;
    if (!near && FindNearStamp(target, start)) m_mux.SeekChunk(start.pos);

    StampRef before, after;
    if (!WalkToStamps(target, before, after)) return; // no chunk at all
    if (before.pos < 0 && after.pos >= 0 && m_firstStamp.pos >= 0 && int64_t(m_firstStamp.ms) < target) {
        // The backward walk was cut short by a broken link (damaged bytes) before reaching a
        // stamp below t, which the record has: walk again from a stamp below t; forwards the
        // walk steps over damage.
        if (!FindNearStamp(target, start) || int64_t(start.ms) >= target) start = m_firstStamp;
        m_mux.SeekChunk(start.pos);
        before = after = {};
        WalkToStamps(target, before, after);
    }

    // The reader goes to the first sample whose time, as a sequential read gives it, is at or
    // after t: counted in whole periods from the stamp before t, or from the stamp after it
    // once the samples between the two are used up.
    const double periodMs = m_stamp.periodMs;
    auto periodsUntil = [&](uint32_t stampMs) -> int64_t {
        if (periodMs <= 0) return 0;
        const double need = (t * 1000.0 - stampMs) / periodMs;
        // A hair below a whole period counts as on it: t x 1000 is rarely exact.
        return need > 0 ? int64_t(std::ceil(std::min(need, 1e15) - 1e-6)) : 0;
    };
    if (before.pos >= 0) {
        m_mux.SeekChunk(before.pos);
        m_readOffset = 0;
        m_currentTime = before.ms * 0.001;
        if (after.pos < 0) return; // beyond the last stamp: stay at it
        const int64_t k = periodsUntil(before.ms);
        if (SkipSamples(k, after.pos) != kSkipReached) {
            m_currentTime = before.ms * 0.001 + double(k) * (periodMs * 0.001);
            return;
        }
        const int64_t r = periodsUntil(after.ms);
        m_currentTime = after.ms * 0.001 + double(r) * (periodMs * 0.001);
        SkipSamples(r, -1);
    } else if (after.pos >= 0) {
        // t at or before the first stamp (or within its millisecond).
        m_mux.SeekChunk(after.pos);
        m_readOffset = 0;
        m_currentTime = after.ms * 0.001;
        const int64_t r = periodsUntil(after.ms);
        if (r > 0) {
            m_currentTime += double(r) * (periodMs * 0.001);
            SkipSamples(r, -1);
        }
    } else {
        // No time stamp at all: the reader stays where it was.
        m_mux.SeekChunk(saved.chunk >= 0 ? saved.chunk : savedPos);
        m_readOffset = saved.offset;
    }
}

PGFiles* GetPGFiles(bool create) {
    static std::unique_ptr<PGFiles> instance;
    if (!instance && create) instance = std::make_unique<PGFiles>();
    return instance.get();
}
