// EDF import from outside bytes. The header check and the annotation-list parser run on the bytes
// directly; then the bytes are imported as a file, once as they are and once with the record
// count repaired to match their length (so that mutated headers reach EDFlib, the annotations
// and the resampling). Checks:
//  - a file the header check accepts holds exactly its header and records;
//  - a failed import leaves no record and no temporary file behind;
//  - a record that is made holds what the import reports: its sample count, values within the
//    record's range (0 ... 1 when rescaled), and its heart-rate entries.

#include "app/EdfHeader.h"
#include "app/EdfImport.h"
#include "storage/PGFiles.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

const std::string& Folder() {
    static std::string folder = [] {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = base + "/corvina_fuzz_edfimport_XXXXXX";
        if (!::mkdtemp(dir.data())) std::abort();
        return dir;
    }();
    return folder;
}

int FilesInFolder() {
    int n = 0;
    DIR* d = ::opendir(Folder().c_str());
    if (!d) return -1;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

void ImportFile(std::string_view bytes) {
    const std::string source = Folder() + "/in.edf";
    const std::string target = Folder() + "/out.pwv";
    ::unlink(target.c_str());
    {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        Check(fd >= 0, "write input");
        Check(::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()), "write input");
        ::close(fd);
    }
    static PGFiles record; // reused: its buffers are large
    const EdfImportResult r =
        ImportEdfFile(MString(std::string_view(source)), {}, MString(std::string_view(target)), record);
    if (!r.ok) {
        Check(!r.reason.empty(), "a reason for the failure");
        Check(::access(target.c_str(), F_OK) != 0, "no record from a failed import");
        Check(FilesInFolder() == 1, "no temporary file left behind");
        return;
    }
    Check(FilesInFolder() == 2, "the record and nothing else");
    Check(std::fabs(double(r.samples) - r.duration / 0.01) <= 1.0, "sample count");
    Check(record.Open(MString(std::string_view(target)), PGFiles::OpenMode::ReadOnly), "open");
    double values[512], times[512];
    int64_t read = 0;
    const double lo = r.rescaled ? 0.0 : -3.2768, hi = r.rescaled ? 1.0 : 3.2767;
    for (int32_t n; (n = record.ReadRawSamples(values, times, 512)) > 0;) {
        for (int32_t i = 0; i < n; ++i) Check(values[i] >= lo && values[i] <= hi, "sample in range");
        read += n;
    }
    Check(read == r.samples, "samples read back");
    record.Close();
    Check(record.Open(MString(std::string_view(target)), PGFiles::OpenMode::ReadOnly), "reopen");
    double hr[256], at[256];
    int64_t beats = 0;
    for (int32_t n; (n = record.ReadHeartRates(hr, at, 256)) > 0;) beats += n;
    Check(beats == r.beats, "heart-rate entries read back");
    record.Close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    EdfHeader h;
    std::string reason;
    const bool sound = ParseEdfHeader(bytes, int64_t(size), h, reason);
    if (sound) {
        Check(h.headerBytes + h.records * h.recordBytes == int64_t(size), "file size");
        int64_t end = 0;
        for (const EdfSignal& s : h.signals)
            end = std::max(end, s.offset + s.samplesPerRecord * h.BytesPerSample());
        Check(end == h.recordBytes, "signals fill a data record");
    } else {
        Check(!reason.empty(), "a reason for a refused header");
    }
    // The annotation parser on the bytes after the fixed header.
    if (size > 256) {
        int64_t start = 0;
        ParseEdfTals(
            bytes.substr(256), (data[0] & 1) != 0, start,
            [](int64_t, int64_t, std::string_view t) {
                Check(t.find('\x14') == std::string_view::npos && t.find('\0') == std::string_view::npos,
                      "text");
            },
            reason);
    }

    ImportFile(bytes);
    // With the record count made to match the length, when that is what the check refused.
    if (!sound && h.recordBytes > 0 && h.headerBytes > 0 && int64_t(size) > h.headerBytes) {
        const int64_t records = (int64_t(size) - h.headerBytes) / h.recordBytes;
        if (records < 1 || records > 99999999) return 0;
        std::string repaired(bytes.substr(0, size_t(h.headerBytes + records * h.recordBytes)));
        std::string field = std::to_string(records);
        field.resize(8, ' ');
        repaired.replace(236, 8, field);
        ImportFile(repaired);
    }
    return 0;
}
