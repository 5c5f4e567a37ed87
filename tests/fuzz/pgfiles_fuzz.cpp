// Opens arbitrary bytes as a record file and uses it the way the viewer, the analyses and the
// batch tool do: reads everything, seeks (with and without isoline correction), reads heart
// rates, and closes with changed metadata, which writes into the file. Checks:
//  - reading never returns more samples or heart rates than the file has bytes for (no chunk is
//    read twice) and every time is finite;
//  - a read-only session leaves the bytes as they were;
//  - closing with metadata leaves a file that does not start like a record as it was.
// The file is a memory file reached through /proc/self/fd, so it can be reopened by path.

#include "storage/ChunkHeader.h"
#include "storage/PGFiles.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

std::vector<uint8_t> Contents(int fd) {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> b(size_t(size > 0 ? size : 0));
    if (!b.empty()) Check(::pread(fd, b.data(), b.size(), 0) == ssize_t(b.size()));
    return b;
}

void Refill(int fd, const uint8_t* data, size_t size) {
    Check(::ftruncate(fd, 0) == 0);
    if (size > 0) Check(::pwrite(fd, data, size, 0) == ssize_t(size));
    Check(::lseek(fd, 0, SEEK_SET) == 0);
}

// Everything from the reader's position on: never more samples than the file has pairs of
// bytes (no chunk is read twice), every value and time finite, and the end stays the end.
void ReadToEnd(PGFiles& f, size_t fileSize, int32_t block) {
    double v[256], t[256];
    int64_t samples = 0;
    for (int32_t n; (n = f.ReadRawSamples(v, t, block)) > 0;) {
        samples += n;
        Check(samples <= int64_t(fileSize / 2));
        for (int32_t i = 0; i < n; ++i) Check(std::isfinite(v[i]) && std::isfinite(t[i]));
    }
    Check(f.ReadRawSamples(v, t, 16) == 0);
}

// Seeks to times around the record and reads a little after each, as the viewer does.
void SeekAndRead(PGFiles& f, size_t fileSize, uint32_t seed) {
    double v[128], t[128];
    const double start = f.StartTime(), end = f.EndTime();
    const double targets[] = {(start + end) / 2, end + 1, double(seed % 2048) * 0.01};
    int k = 0;
    for (double target : targets) {
        f.IsolineCorrection = ((seed >> k++) & 15) == 0; // the filter is fuzzed on its own

        Check(f.SeekTime(target, (seed >> 8 >> k) & 1));
        Check(std::isfinite(f.CurrentTime()));
        const int32_t n = f.ReadSamples(v, t, 128);
        Check(n >= 0 && n <= int32_t(fileSize / 2));
        for (int32_t i = 0; i < n; ++i) Check(std::isfinite(v[i]) && std::isfinite(t[i]));
    }
    f.IsolineCorrection = false;
    int64_t beats = 0;
    for (int32_t n; (n = f.ReadHeartRates(v, t, 64)) > 0;) {
        beats += n;
        Check(beats <= int64_t(fileSize / 12)); // a heart-rate chunk takes 12 bytes or more
    }
    sHrMeasure m;
    while (f.HeartRateQueue.TryPop(m)) {}
}

} // namespace

// Each input allocates a few small buffers; a smaller quarantine than the default keeps the
// allocator from touching fresh pages on every run while still catching use after free
// within a run.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("record", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    static PGFiles f; // one object for every input, as in the program
    Check(fd >= 0);
    Refill(fd, data, size);
    uint32_t seed = 0;
    for (size_t i = 0; i < size && i < 64; ++i) seed = seed * 31 + data[i];

    // Read-only: read everything, seek around; the bytes stay.
    Check(f.Open(MString(path), PGFiles::OpenMode::ReadOnly));
    ReadToEnd(f, size, 32 + int32_t(seed % 225));
    SeekAndRead(f, size, seed);
    f.Metadata.Value(u"PatAge") = u"42";
    f.Close();
    Check(!f.IsOpen() && f.Metadata.Count() == 0);
    const std::vector<uint8_t> after = Contents(fd);
    Check(after.size() == size && (size == 0 || std::memcmp(after.data(), data, size) == 0));

    // Viewing: Close stores the metadata, but never into a file that does not start like a
    // record (a chunk at offset 0 that links to nothing).
    Check(f.Open(MString(path)));
    f.Metadata.Value(u"PatName"); // reading a key adds it
    f.Metadata.Value(u"PatNotice") = MString(std::u16string(size % 300, u'ж'));
    f.Close();
    const std::vector<uint8_t> stored = Contents(fd);
    ChunkHeader h;
    const bool recordLike = size == 0 || (h.Parse(data, size, 0, int64_t(size)) != 0 && h.backLink == 0);
    if (!recordLike) Check(stored.size() == size && std::memcmp(stored.data(), data, size) == 0);

    // Whatever was written opens again.
    if (stored.size() != size) {
        Check(f.Open(MString(path), PGFiles::OpenMode::ReadOnly));
        f.Close();
    }
    return 0;
}
