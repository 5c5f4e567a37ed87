#include "app/TextImport.h"

#include "core/FileUtils.h"
#include "dsp/HBR_Calculator.h"
#include "storage/PGFiles.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum : uint8_t { kOther = 0, kDigit = 1, kSign = 2, kSeparator = 3 };

constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> c{};
    for (int d = '0'; d <= '9'; ++d) c[size_t(d)] = kDigit;
    c[size_t('+')] = c[size_t('-')] = kSign;
    c[size_t('.')] = c[size_t(',')] = kSeparator;
    return c;
}
constexpr std::array<uint8_t, 256> kClass = MakeClasses();

inline uint8_t ClassOf(char c) {
    return kClass[static_cast<uint8_t>(c)];
}
inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Powers of ten that a double holds exactly.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A new empty file beside target, for the record to be written under before it replaces target.
std::string CreateTemporaryBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target + ".import-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

// A large buffer is written once from start to end; in 2 MiB pages that costs a few hundred
// page faults instead of one per 4 KiB, which otherwise dominates reading a big file.
void AdviseHugePages(void* data, size_t count) {
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + count * sizeof(double)) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

bool TextTokenValue(std::string_view token, double& value) {
    const char* b = token.data();
    const char* e = b + token.size();
    // Where the number starts: a digit, or a separator before a digit, possibly after a sign.
    auto startsDigits = [e](const char* q) {
        return q < e && (IsDigit(*q) || (ClassOf(*q) == kSeparator && q + 1 < e && IsDigit(q[1])));
    };
    const char* p = nullptr;
    bool negative = false;
    for (const char* q = b; q < e; ++q) {
        if (startsDigits(q)) {
            p = q;
            break;
        }
        if (ClassOf(*q) == kSign && startsDigits(q + 1)) {
            p = q + 1;
            negative = *q == '-';
            break;
        }
    }
    if (!p) return false;

    while (p < e && *p == '0') ++p; // leading zeros
    const char* intBegin = p;
    while (p < e && IsDigit(*p)) ++p;
    const char* intEnd = p;
    const char* fracBegin = p;
    const char* fracEnd = p;
    if (p + 1 < e && ClassOf(*p) == kSeparator && IsDigit(p[1])) {
        fracBegin = ++p;
        while (p < e && IsDigit(*p)) ++p;
        fracEnd = p;
    }
    const size_t intDigits = size_t(intEnd - intBegin);
    const size_t fracDigits = size_t(fracEnd - fracBegin);

    if (intDigits + fracDigits <= 15) {
        // Exact mantissa and an exact power of ten: one correctly rounded division or product,
        // the same value a full decimal conversion gives.
        uint64_t m = 0;
        for (const char* q = intBegin; q < intEnd; ++q) m = m * 10 + uint64_t(*q - '0');
        for (const char* q = fracBegin; q < fracEnd; ++q) m = m * 10 + uint64_t(*q - '0');
        double v = double(m) / kPow10[fracDigits];
        value = negative ? -v : v;
        return true;
    }

    std::string buf;
    buf.reserve(intDigits + fracDigits + 3);
    if (intDigits == 0) buf += '0';
    buf.append(intBegin, intDigits);
    if (fracDigits > 0) {
        buf += '.';
        buf.append(fracBegin, fracDigits);
    }
    double v = 0;
    const auto r = std::from_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        if (intDigits > 0) return false; // beyond the double range
        v = 0.0;                         // below the smallest double
    } else if (r.ec != std::errc() || !std::isfinite(v)) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

// The common token, [sign] digits [separator digits] with at most 15 digits, read in the same
// pass that finds it. False (nothing consumed) for any other token; TextTokenValue gives the
// same value for the tokens this accepts.
inline bool FastToken(const char*& pos, const char* end, double& value) {
    const char* p = pos;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (p == end || !IsDigit(*p)) return false;
    uint64_t m = 0;
    int digits = 0, fraction = 0;
    for (; p < end && IsDigit(*p); ++p, ++digits) m = m * 10 + uint64_t(*p - '0');
    if (p + 1 < end && ClassOf(*p) == kSeparator && IsDigit(p[1])) {
        for (++p; p < end && IsDigit(*p); ++p, ++fraction) m = m * 10 + uint64_t(*p - '0');
    }
    if (digits + fraction > 15 || (p < end && ClassOf(*p) != kOther)) return false;
    const double v = double(m) / kPow10[fraction];
    value = negative ? -v : v;
    pos = p;
    return true;
}

void ParseTextNumbers(std::string_view text, TextNumbers& out, int64_t maxValues) {
    const char* p = text.data();
    const char* const end = p + text.size();
    double lo = out.smallest, hi = out.largest;
    bool any = !out.values.empty();
    while (p < end) {
        while (p < end && ClassOf(*p) == kOther) ++p;
        if (p == end) break;
        double v;
        if (!FastToken(p, end, v)) {
            const char* begin = p;
            while (p < end && ClassOf(*p) != kOther) ++p;
            if (!TextTokenValue(std::string_view(begin, size_t(p - begin)), v)) {
                ++out.skippedTokens;
                continue;
            }
        }
        if (int64_t(out.values.size()) >= maxValues) {
            out.truncated = true;
            break;
        }
        out.values.push_back(v);
        if (!any) {
            lo = hi = v;
            any = true;
        } else if (v < lo) {
            lo = v;
        } else if (v > hi) {
            hi = v;
        }
    }
    out.smallest = lo;
    out.largest = hi;
}

bool ReadTextNumbers(const MString& path, TextNumbers& out, std::string& reason, int64_t maxValues) {
    const std::string native = NativePath(path);
    MFileHandle file(OpenForRead(path));
    if (!file.IsOpen()) {
        reason = Errno(("cannot open " + native).c_str());
        return false;
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0) {
        reason = Errno(("cannot read " + native).c_str());
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = native + " is not a regular file";
        return false;
    }
    if (st.st_size == 0) return true;
    const size_t size = size_t(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.Get(), 0);
    if (map == MAP_FAILED) {
        reason = Errno(("cannot read " + native).c_str());
        return false;
    }
    ::madvise(map, size, MADV_SEQUENTIAL);
    // Every number takes at least two bytes (itself and a separator), except a last one.
    out.values.reserve(out.values.size() + size_t(std::min<int64_t>(int64_t(size / 2 + 1), maxValues)));
    AdviseHugePages(out.values.data() + out.values.size(), out.values.capacity() - out.values.size());
    ParseTextNumbers(std::string_view(static_cast<const char*>(map), size), out, maxValues);
    ::munmap(map, size);
    return true;
}

MString ImportTargetPath(const MString& source) {
    const std::u16string& s = source.Str();
    const size_t slash = s.find_last_of(u"/\\");
    const size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
    const size_t dot = s.rfind(u'.');
    std::u16string target = s;
    if (dot != std::u16string::npos && dot >= nameStart) target.resize(dot);
    target += u".pwv";
    return MString(std::move(target));
}

TextImportResult ImportTextNumbers(const TextNumbers& numbers, int rateHz, const MString& target,
                                   PGFiles& record, const ImportProgress& progress) {
    TextImportResult result;
    const std::vector<double>& values = numbers.values;
    const size_t n = values.size();
    result.values = int64_t(n);
    result.skippedTokens = numbers.skippedTokens;
    result.smallest = numbers.smallest;
    result.largest = numbers.largest;

    if (numbers.truncated) {
        result.reason = "the file holds more than " + std::to_string(kImportMaxValues) + " numbers";
        return result;
    }
    if (n < size_t(kImportMinValues)) {
        result.reason = "the file holds " + std::to_string(n) + " numbers; at least " +
                        std::to_string(kImportMinValues) + " are needed";
        return result;
    }
    if (!(numbers.largest > numbers.smallest)) {
        result.reason = "all numbers are equal";
        return result;
    }
    if (rateHz < kImportMinRate || rateHz > kImportMaxRate) {
        result.reason = "the sample rate must be " + std::to_string(kImportMinRate) + " ... " +
                        std::to_string(kImportMaxRate) + " Hz";
        return result;
    }
    const double period = 1.0 / rateHz;
    const double lastTime = double(n - 1) * period;
    result.duration = lastTime;
    if (!(lastTime > kImportMinDuration)) {
        result.reason = std::to_string(n) + " numbers at " + std::to_string(rateHz) + " Hz last only " +
                        MString::FromDouble(lastTime).ToUtf8() + " s; more than 5 s are needed";
        return result;
    }

    // Rescaled to 0 ... 1: (v + offset) * scale. Extremes too far apart for their difference to
    // be a double are rescaled in halves.
    double half = 1.0;
    double offset = -numbers.smallest;
    double range = numbers.largest - numbers.smallest;
    if (!std::isfinite(range)) {
        half = 0.5;
        offset = -numbers.smallest * 0.5;
        range = numbers.largest * 0.5 - numbers.smallest * 0.5;
    }
    const double scale = 1.0 / range;
    auto stored = [&](size_t k) { return (values[k] * half + offset) * scale; };

    const std::string targetNative = NativePath(target);
    if (targetNative.empty()) {
        result.reason = "invalid output path";
        return result;
    }
    record.Close();
    const std::string temp = CreateTemporaryBeside(targetNative);
    if (temp.empty() || !record.Create(MString(temp))) {
        result.reason = Errno(("cannot create " + targetNative).c_str());
        if (!temp.empty()) ::unlink(temp.c_str());
        return result;
    }

    HBR_Calculator detector(HBR_Calculator::kResultCapacity);
    detector.Reset();
    double times[kImportBlock];
    double block[kImportBlock];
    int filled = 0;
    bool writeOk = true;
    auto flush = [&] {
        if (filled == 0) return;
        writeOk = writeOk && record.WriteSamples(block, filled, kImportPeriod);
        detector.Process(times, block, filled);
        sHrMeasure m;
        while (detector.Results().TryPop(m)) {
            writeOk = writeOk && record.WriteHeartRate(m.hr, m.time);
            ++result.beats;
        }
        result.samples += filled;
        filled = 0;
    };

    // Resampling: linear interpolation between the values at k * period; k is the first value
    // at or after t, found by walking forwards since t only grows.
    const int64_t total = int64_t(std::ceil(lastTime / kImportPeriod));
    int lastPercent = -1;
    size_t k = 0;
    for (int64_t i = 0;; ++i) {
        const double t = double(i) * kImportPeriod;
        if (!(t < lastTime)) break;
        while (k + 1 < n && double(k) * period < t) ++k;
        const double tk = double(k) * period;
        double v;
        if (k == 0 || tk < t) {
            v = stored(k);
        } else {
            const double tp = double(k - 1) * period;
            const double vp = stored(k - 1);
            v = tk - tp > 0 ? vp + (t - tp) * (stored(k) - vp) / (tk - tp) : vp;
        }
        times[filled] = t;
        block[filled] = v;
        if (++filled == kImportBlock) {
            flush();
            if (!writeOk) break;
            if (progress && total > 0) {
                const int percent = int(i * 100 / total);
                if (percent != lastPercent) progress(lastPercent = percent);
            }
        }
    }
    flush(); // the last, shorter block too: its samples are data like the others
    record.Close();

    if (!writeOk) {
        ::unlink(temp.c_str());
        result.reason = "cannot write " + targetNative;
        return result;
    }
    if (::rename(temp.c_str(), targetNative.c_str()) != 0) {
        result.reason = Errno(("cannot write " + targetNative).c_str());
        ::unlink(temp.c_str());
        return result;
    }
    if (progress) progress(100);
    result.ok = true;
    return result;
}

TextImportResult ImportTextFile(const MString& source, int rateHz, const MString& target, PGFiles& record,
                                const ImportProgress& progress) {
    TextImportResult result;
    const std::string src = NativePath(source), dst = NativePath(target);
    if (src == dst || SameFile(src, dst)) {
        result.reason = "the output would replace the file being imported";
        return result;
    }
    TextNumbers numbers;
    if (!ReadTextNumbers(source, numbers, result.reason)) return result;
    return ImportTextNumbers(numbers, rateHz, target, record, progress);
}
