// Text import from outside bytes: the numbers must be exactly what the string conversion reads
// from each token, must not depend on where the text is cut between two reads, and whenever they
// make a record, the record must hold the resampled values within 0 ... 1 and nothing else.

#include "app/TextImport.h"
#include "core/MString.h"
#include "storage/PGFiles.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

bool IsTokenByte(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ',';
}

const std::string& Folder() {
    static std::string folder = [] {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = base + "/corvina_fuzz_textimport_XXXXXX";
        if (!::mkdtemp(dir.data())) std::abort();
        return dir;
    }();
    return folder;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TextNumbers numbers;
    ParseTextNumbers(text, numbers, 1'000'000);

    // Token by token against the string conversion (the first tokens: the rest are covered by
    // the cut below, and conversions through MString are slow under the sanitizers).
    size_t count = 0;
    for (size_t p = 0; p < size && count < 256;) {
        while (p < size && !IsTokenByte(text[p])) ++p;
        const size_t begin = p;
        while (p < size && IsTokenByte(text[p])) ++p;
        if (p == begin) break;
        const std::string token(text.substr(begin, p - begin));
        double v = 0;
        if (!TextTokenValue(token, v)) continue;
        Check(count < numbers.values.size(), "value count");
        const double expect = MString(token).ToDouble();
        Check(v == expect && std::signbit(v) == std::signbit(expect), "token value");
        Check(numbers.values[count] == v, "value order");
        ++count;
    }
    Check(count == numbers.values.size() || count == 256, "every value from a token");
    for (double v : numbers.values) {
        Check(std::isfinite(v), "finite");
        Check(v >= numbers.smallest && v <= numbers.largest, "extremes");
    }

    // Cut at the first separator: two reads give the same numbers.
    size_t cut = 0;
    while (cut < size && IsTokenByte(text[cut])) ++cut;
    TextNumbers split;
    ParseTextNumbers(text.substr(0, cut), split, 1'000'000);
    ParseTextNumbers(text.substr(cut), split, 1'000'000);
    Check(split.values == numbers.values, "cut");
    Check(split.skippedTokens == numbers.skippedTokens, "cut skipped");

    // Records from short inputs whose first byte asks for one (an eighth of them): writing and
    // reading back a record costs a hundred times the parsing.
    if (size == 0 || size > 2048 || (data[0] & 0x38) != 0 || numbers.values.size() < size_t(kImportMinValues))
        return 0;
    const int rate = kImportMinRate + int(data[0] & 7) * (data[0] >= 128 ? 997 : 1);
    const std::string target = Folder() + "/out.pwv";
    ::unlink(target.c_str());
    static PGFiles record; // reused: its buffers are large
    const TextImportResult r = ImportTextNumbers(numbers, rate, MString(std::string_view(target)), record);
    if (!r.ok) {
        Check(::access(target.c_str(), F_OK) != 0, "no record from a failed import");
        return 0;
    }
    // One sample every 10 ms while the time is below the last value's.
    Check(std::fabs(double(r.samples) - r.duration / kImportPeriod) <= 1.0, "sample count");
    Check(record.Open(MString(std::string_view(target)), PGFiles::OpenMode::ReadOnly), "open");
    // From the first chunk on: a seek would start at the first time stamp.
    double values[512], times[512];
    int64_t read = 0;
    for (int32_t n; (n = record.ReadRawSamples(values, times, 512)) > 0;) {
        for (int32_t i = 0; i < n; ++i) Check(values[i] >= 0.0 && values[i] <= 1.0, "sample in 0 ... 1");
        read += n;
    }
    Check(read == r.samples, "samples read back");
    record.Close();
    return 0;
}
