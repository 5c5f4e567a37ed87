#include "app/EdfImport.h"

#include "app/EdfExport.h"
#include "app/EdfHeader.h"
#include "app/TemporaryFile.h"
#include "core/FileUtils.h"
#include "dsp/HBR_Calculator.h"
#include "storage/PGFiles.h"

#include <edflib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The values a record holds, and its step.
constexpr double kRecordMin = -3.2768, kRecordMax = 3.2767;
constexpr double kRecordStep = 1.0 / PGFiles::kAmplitudeDivisor;
// Record times are whole milliseconds in 32 bits.
constexpr double kRecordMaxSeconds = double(UINT32_MAX) / 1000.0;
// More heart-rate annotations than this many a second (plus a few) are no heart rates.
constexpr double kMaxBeatsPerSecond = 10;
constexpr int kReadBlock = 65536;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A value whose truncation to steps of 1 / unit (as the record stores it) is the nearest step.
double OnGrid(double x, double unit) {
    const double c = std::nearbyint(x * unit);
    return (c + (c >= 0 ? 0.25 : -0.25)) / unit;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> SplitSpaces(const std::string& s) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < s.size();) {
        while (i < s.size() && s[i] == ' ') ++i;
        const size_t b = i;
        while (i < s.size() && s[i] != ' ') ++i;
        if (i > b) parts.push_back(s.substr(b, i - b));
    }
    return parts;
}

std::string Spaced(std::string s) {
    std::replace(s.begin(), s.end(), '_', ' ');
    return s;
}

// "02-MAY-1951" (month in English, any case).
bool ParseEdfPlusDate(const std::string& s, int& y, int& m, int& d) {
    static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (s.size() != 11 || s[2] != '-' || s[6] != '-') return false;
    for (size_t i : {0, 1, 7, 8, 9, 10})
        if (s[i] < '0' || s[i] > '9') return false;
    d = (s[0] - '0') * 10 + (s[1] - '0');
    y = std::stoi(s.substr(7));
    std::string mon = s.substr(3, 3);
    for (char& c : mon) c = char(std::toupper(static_cast<unsigned char>(c)));
    m = 0;
    for (int i = 0; i < 12; ++i)
        if (mon == kMonths[i]) m = i + 1;
    return m != 0 && d >= 1 && d <= 31;
}

struct EdfReadHandle {
    int handle = -1;
    ~EdfReadHandle() {
        if (handle >= 0) edfclose_file(handle);
    }
};

const char* EdflibError(int code) {
    switch (code) {
        case EDFLIB_MALLOC_ERROR:
            return "out of memory";
        case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY:
            return "cannot open the file";
        case EDFLIB_FILE_CONTAINS_FORMAT_ERRORS:
            return "the file contains format errors";
        case EDFLIB_MAXFILES_REACHED:
            return "too many files open";
        case EDFLIB_FILE_READ_ERROR:
            return "cannot read the file";
        case EDFLIB_FILE_ALREADY_OPENED:
            return "the file is already open";
        case EDFLIB_FILETYPE_ERROR:
            return "unknown file type";
        case EDFLIB_FILE_IS_DISCONTINUOUS:
            return "the file is discontinuous";
        default:
            return "error";
    }
}

// Sequential physical samples of one signal through EDFlib, transformed.
class SampleSource {
public:
    SampleSource(int handle, int signal, double offset, double half, double scale)
        : m_handle(handle), m_signal(signal), m_offset(offset), m_half(half), m_scale(scale),
          m_buffer(kReadBlock) {}
    // The next sample; false at the end or on a read error.
    bool Next(double& v) {
        if (m_pos == m_count) {
            m_count = edfread_physical_samples(m_handle, m_signal, kReadBlock, m_buffer.data());
            m_pos = 0;
            if (m_count <= 0) {
                m_count = 0;
                return false;
            }
        }
        v = (m_buffer[size_t(m_pos++)] * m_half + m_offset) * m_scale;
        return true;
    }

private:
    int m_handle, m_signal;
    double m_offset, m_half, m_scale;
    std::vector<double> m_buffer;
    int m_pos = 0, m_count = 0;
};

struct Beat {
    double time, hr;
};

} // namespace

bool IsEdfFile(const MString& path) {
    MString ext = path.Extension();
    ext.ToLower();
    if (ext == MString(u"edf") || ext == MString(u"bdf")) return true;
    MFileHandle file(OpenForRead(path));
    if (!file.IsOpen()) return false;
    char head[kEdfFixedHeaderBytes];
    if (::pread(file.Get(), head, sizeof head, 0) != ssize_t(sizeof head)) return false;
    std::string reason;
    return EdfHeaderSize(std::string_view(head, sizeof head), reason) > 0;
}

EdfImportResult ImportEdfFile(const MString& source, const std::string& wanted, const MString& target,
                              PGFiles& record, const ImportProgress& progress) {
    EdfImportResult result;
    auto fail = [&](std::string why) {
        result.reason = std::move(why);
        return result;
    };
    const std::string src = NativePath(source), dst = NativePath(target);
    if (src.empty() || dst.empty()) return fail("invalid file name");

    // The header, checked before EDFlib reads anything.
    MFileHandle file(OpenForRead(source));
    struct stat st {};
    if (!file.IsOpen()) return fail(Errno("cannot open " + src));
    if (::fstat(file.Get(), &st) != 0) return fail(Errno("cannot read " + src));
    if (!S_ISREG(st.st_mode)) return fail(src + " is not a regular file");
    {
        struct stat ds {};
        if (::stat(dst.c_str(), &ds) == 0 && ds.st_dev == st.st_dev && ds.st_ino == st.st_ino)
            return fail("the output would replace the file being imported");
    }
    std::string header(kEdfFixedHeaderBytes, '\0');
    const ssize_t got = ::pread(file.Get(), header.data(), header.size(), 0);
    if (got < 0) return fail(Errno("cannot read " + src));
    header.resize(size_t(got));
    std::string why;
    const int64_t headerSize = EdfHeaderSize(header, why);
    if (headerSize == 0) return fail(src + ": " + why);
    header.resize(size_t(headerSize));
    const ssize_t all = ::pread(file.Get(), header.data(), header.size(), 0);
    if (all < 0) return fail(Errno("cannot read " + src));
    header.resize(size_t(all));
    EdfHeader h;
    if (!ParseEdfHeader(header, int64_t(st.st_size), h, why)) return fail(src + ": " + why);
    result.type = h.TypeName();
    if (h.discontinuous)
        return fail(src + " is " + result.type +
                    ", a recording with gaps; only continuous files can be imported");

    // The signal.
    int chosen = -1, edflibIndex = -1, ordinal = 0, caseMatch = -1, caseMatchIndex = -1, caseMatches = 0;
    for (size_t i = 0; i < h.signals.size(); ++i) {
        const EdfSignal& s = h.signals[i];
        if (s.annotations) continue;
        result.labels.push_back(s.label);
        if (chosen < 0 && (wanted.empty() || s.label == wanted)) {
            chosen = int(i);
            edflibIndex = ordinal;
        }
        if (!wanted.empty() && Lower(s.label) == Lower(wanted)) {
            if (caseMatches++ == 0) {
                caseMatch = int(i);
                caseMatchIndex = ordinal;
            }
        }
        ++ordinal;
    }
    if (result.labels.empty()) return fail(src + " holds annotations only, no signal");
    if (chosen < 0 && caseMatches == 1) {
        chosen = caseMatch;
        edflibIndex = caseMatchIndex;
    }
    if (chosen < 0) {
        std::string list;
        for (const std::string& l : result.labels) list += (list.empty() ? "'" : ", '") + l + "'";
        return fail(src + " has no signal '" + wanted + "'; its signals are " + list);
    }
    const EdfSignal& signal = h.signals[size_t(chosen)];
    result.label = signal.label;
    const double recordSeconds = h.RecordSeconds();
    result.rate = double(signal.samplesPerRecord) / recordSeconds;
    if (!(result.rate >= kImportMinRate - 1e-9 && result.rate <= kImportMaxRate + 1e-9))
        return fail("signal '" + signal.label + "' is sampled at " +
                    MString::FromDouble(result.rate).ToUtf8() + " Hz; the import takes " +
                    std::to_string(kImportMinRate) + " ... " + std::to_string(kImportMaxRate) + " Hz");
    const int64_t total = h.records * signal.samplesPerRecord;
    result.sourceSamples = total;
    const double period = recordSeconds / double(signal.samplesPerRecord);
    const double lastTime = double(total - 1) * period;
    result.duration = lastTime;
    if (!(lastTime > kImportMinDuration))
        return fail("signal '" + signal.label + "' lasts only " + MString::FromDouble(lastTime).ToUtf8() +
                    " s; more than 5 s are needed");
    if (!(lastTime < kRecordMaxSeconds))
        return fail("signal '" + signal.label + "' lasts " + MString::FromDouble(lastTime).ToUtf8() +
                    " s; a record holds at most 4294967 s (49.7 days)");

    // Annotations: time keeping of every data record, heart rates relative to the first sample.
    std::vector<Beat> beats;
    int64_t firstStart = 0; // ticks from the header's start second to the first sample
    if (h.plus) {
        const int64_t tolerance = std::max<int64_t>(10, int64_t(period * 0.5 * double(kEdfTicksPerSecond)));
        const size_t maxBeats = size_t(lastTime * kMaxBeatsPerSecond) + 100;
        // Whole data records read a batch at a time (small records would otherwise cost a read
        // each).
        const int64_t batch = std::max<int64_t>(1, (int64_t(1) << 20) / h.recordBytes);
        std::string records;
        int64_t batchStart = 0;
        bool tooMany = false;
        for (int64_t r = 0; r < h.records && !tooMany; ++r) {
            if (r == 0 || r - batchStart >= batch) {
                batchStart = r;
                records.resize(size_t(std::min(batch, h.records - r) * h.recordBytes));
                if (::pread(file.Get(), records.data(), records.size(), off_t(h.RecordOffset(r))) !=
                    ssize_t(records.size()))
                    return fail(Errno("cannot read " + src));
            }
            bool firstSignal = true;
            int64_t start = 0;
            for (const EdfSignal& a : h.signals) {
                if (!a.annotations) continue;
                const std::string_view bytes =
                    std::string_view(records).substr(size_t((r - batchStart) * h.recordBytes + a.offset),
                                                     size_t(a.samplesPerRecord * h.BytesPerSample()));
                const auto sink = [&](int64_t onset, int64_t, std::string_view text) {
                    double hr = 0;
                    if (!ParseEdfHeartRateText(std::string(text), hr)) {
                        ++result.otherAnnotations;
                        return;
                    }
                    // The first record's start is known before any of its annotations is passed on.
                    const double t =
                        double(onset - (r == 0 ? start : firstStart)) / double(kEdfTicksPerSecond);
                    if (t < 0 || t > lastTime) return;
                    if (beats.size() >= maxBeats) {
                        tooMany = true;
                        return;
                    }
                    beats.push_back({t, hr});
                };
                if (!ParseEdfTals(bytes, firstSignal, start, sink, why))
                    return fail(src + ": data record " + std::to_string(r + 1) + ": " + why);
                if (firstSignal) {
                    if (r == 0) {
                        firstStart = start;
                    } else if (std::llabs(start - (firstStart + r * h.durationTicks)) > tolerance) {
                        return fail(src + " is not continuous: data record " + std::to_string(r + 1) +
                                    " starts at " +
                                    MString::FromDouble(double(start) / double(kEdfTicksPerSecond)).ToUtf8() +
                                    " s instead of " +
                                    MString::FromDouble(double(firstStart + r * h.durationTicks) /
                                                        double(kEdfTicksPerSecond))
                                        .ToUtf8() +
                                    " s");
                    }
                }
                firstSignal = false;
            }
        }
        if (tooMany)
            return fail(src + " holds more heart-rate annotations than " +
                        MString::FromDouble(kMaxBeatsPerSecond).ToUtf8() + " a second");
        std::stable_sort(beats.begin(), beats.end(),
                         [](const Beat& a, const Beat& b) { return a.time < b.time; });
    }
    file.Close();

    // EDFlib: the samples.
    auto edf = std::make_unique<edf_hdr_struct>();
    EdfReadHandle reader;
    if (edfopen_file_readonly(src.c_str(), edf.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0)
        return fail(src + ": EDFlib: " + EdflibError(edf->filetype));
    reader.handle = edf->handle;
    if (edf->edfsignals != int(result.labels.size()) || edf->datarecords_in_file != h.records ||
        edf->signalparam[edflibIndex].smp_in_datarecord != signal.samplesPerRecord ||
        edf->signalparam[edflibIndex].smp_in_file != total)
        return fail(src + ": EDFlib reads the header differently");

    // The extremes: a flat signal is no pulse wave.
    double smallest = 0, largest = 0;
    {
        SampleSource scan(reader.handle, edflibIndex, 0, 1, 1);
        double v = 0;
        int64_t n = 0;
        for (; scan.Next(v); ++n) {
            if (n == 0 || v < smallest) smallest = v;
            if (n == 0 || v > largest) largest = v;
        }
        if (n != total)
            return fail(src + ": EDFlib read " + std::to_string(n) + " of " + std::to_string(total) +
                        " samples");
        if (!(largest > smallest)) return fail("signal '" + signal.label + "' is flat: all values are equal");
        edfrewind(reader.handle, edflibIndex);
    }
    // Values kept when the record holds them without losing steps, else rescaled to 0 ... 1 over
    // their extremes (halved when their difference is beyond the double range). A signal of
    // +-1 mV written in volts fits the record's range but would keep only 21 of its steps. The
    // beat detector sees the values rescaled either way, as in the text import.
    const double lo = std::min(signal.physicalMin, signal.physicalMax);
    const double hi = std::max(signal.physicalMin, signal.physicalMax);
    const double step = (hi - lo) / (double(signal.digitalMax) - double(signal.digitalMin));
    double offset = 0, half = 1, scale = 1;
    double detectOffset = 0, detectScale = 1; // stored value -> detector input
    if (lo >= kRecordMin && hi <= kRecordMax && step >= kRecordStep * (1 - 1e-9)) {
        detectOffset = -smallest;
        detectScale = 1.0 / (largest - smallest);
    } else {
        result.rescaled = true;
        offset = -smallest;
        double range = largest - smallest;
        if (!std::isfinite(range)) {
            half = 0.5;
            offset = -smallest * 0.5;
            range = largest * 0.5 - smallest * 0.5;
        }
        scale = 1.0 / range;
    }

    // The header's start, local time, as the record's start mark.
    std::vector<std::pair<const char16_t*, std::string>> meta;
    {
        int year = h.year;
        bool known = true;
        if (h.plus) {
            const std::vector<std::string> r = SplitSpaces(h.recording);
            int y = 0, m = 0, d = 0;
            if (r.size() >= 2 && ParseEdfPlusDate(r[1], y, m, d))
                year = y;
            else
                known = false;
        }
        known = known && !(year == 1985 && h.month == 1 && h.day == 1 && h.hour == 0 && h.minute == 0 &&
                           h.second == 0);
        if (known) {
            struct tm t {};
            t.tm_year = year - 1900;
            t.tm_mon = h.month - 1;
            t.tm_mday = h.day;
            t.tm_hour = h.hour;
            t.tm_min = h.minute;
            t.tm_sec = h.second;
            t.tm_isdst = -1;
            const time_t at = ::mktime(&t);
            if (at != time_t(-1))
                meta.emplace_back(u"RecordStartT",
                                  std::to_string(int64_t(at) + firstStart / kEdfTicksPerSecond));
        }
        if (h.plus) {
            const std::vector<std::string> p = SplitSpaces(h.patient);
            auto known4 = [&](size_t i) { return i < p.size() && p[i] != "X"; };
            if (known4(0)) meta.emplace_back(u"PatCode", Spaced(p[0]));
            if (known4(1) && (p[1] == "M" || p[1] == "F")) meta.emplace_back(u"PatSex", p[1]);
            int by = 0, bm = 0, bd = 0;
            const bool birth = known4(2) && ParseEdfPlusDate(p[2], by, bm, bd);
            if (birth) {
                char text[16];
                std::snprintf(text, sizeof text, "%04d-%02d-%02d", by, bm, bd);
                meta.emplace_back(u"PatBirthDate", text);
            }
            if (known4(3)) meta.emplace_back(u"PatName", Spaced(p[3]));
            struct Extra {
                const char* prefix;
                const char16_t* key;
            };
            static const Extra kExtras[] = {{"Age=", u"PatAge"},
                                            {"Height_cm=", u"PatHeight"},
                                            {"Weight_kg=", u"PatWeight"},
                                            {"BP_mmHg=", u"PatPressure"}};
            bool age = false;
            std::string notice;
            for (size_t i = 4; i < p.size(); ++i) {
                bool mapped = false;
                for (const Extra& e : kExtras) {
                    const std::string prefix = e.prefix;
                    if (p[i].rfind(prefix, 0) == 0) {
                        meta.emplace_back(e.key, Spaced(p[i].substr(prefix.size())));
                        age = age || e.key == std::u16string_view(u"PatAge");
                        mapped = true;
                        break;
                    }
                }
                if (!mapped) notice += (notice.empty() ? "" : " ") + p[i];
            }
            if (!age && birth && known) {
                int years = year - by;
                if (h.month < bm || (h.month == bm && h.day < bd)) --years;
                if (years >= 0) meta.emplace_back(u"PatAge", std::to_string(years));
            }
            if (!notice.empty()) meta.emplace_back(u"PatNotice", notice);
        } else if (!h.patient.empty()) {
            meta.emplace_back(u"PatName", h.patient);
        }
    }

    // The record, written whole under a temporary name.
    record.Close();
    const auto writeRecord = [&](const std::string& temp, std::string& reason) {
        if (!record.Create(MString(temp))) {
            reason = Errno("cannot create " + dst);
            return false;
        }
        const bool annotatedBeats = !beats.empty();
        result.beatsFromAnnotations = annotatedBeats;
        HBR_Calculator detector(HBR_Calculator::kResultCapacity);
        detector.Reset();
        size_t nextBeat = 0;
        double times[kImportBlock], block[kImportBlock], detect[kImportBlock];
        int filled = 0;
        bool writeOk = true;
        auto flush = [&] {
            if (filled == 0) return;
            writeOk = writeOk && record.WriteSamples(block, filled, kImportPeriod);
            if (annotatedBeats) {
                const double end = times[filled - 1] + kImportPeriod;
                for (; nextBeat < beats.size() && beats[nextBeat].time < end; ++nextBeat) {
                    writeOk = writeOk && record.WriteHeartRate(OnGrid(beats[nextBeat].hr, 100),
                                                               OnGrid(beats[nextBeat].time, 1000));
                    ++result.beats;
                }
            } else {
                detector.Process(times, detect, filled);
                sHrMeasure m;
                while (detector.Results().TryPop(m)) {
                    writeOk = writeOk && record.WriteHeartRate(m.hr, m.time);
                    ++result.beats;
                }
            }
            result.samples += filled;
            filled = 0;
        };

        // Resampling as the text import: sample k lies at k * period; for t the first k at or
        // after it, linear interpolation between k - 1 and k.
        SampleSource samples(reader.handle, edflibIndex, offset, half, scale);
        int64_t k = 0;
        double vk = 0, vPrev = 0;
        const std::string unreadable = src + ": EDFlib cannot read the samples";
        if (!samples.Next(vk)) {
            record.Close();
            reason = unreadable;
            return false;
        }
        vPrev = vk;
        const int64_t outputs = int64_t(std::ceil(lastTime / kImportPeriod));
        int lastPercent = -1;
        for (int64_t i = 0;; ++i) {
            const double t = double(i) * kImportPeriod;
            if (!(t < lastTime)) break;
            while (k + 1 < total && double(k) * period < t) {
                vPrev = vk;
                if (!samples.Next(vk)) {
                    record.Close();
                    reason = unreadable;
                    return false;
                }
                ++k;
            }
            const double tk = double(k) * period;
            double v;
            if (k == 0 || tk < t) {
                v = vk;
            } else {
                const double tp = double(k - 1) * period;
                v = tk - tp > 0 ? vPrev + (t - tp) * (vk - vPrev) / (tk - tp) : vPrev;
            }
            times[filled] = t;
            block[filled] = OnGrid(v, PGFiles::kAmplitudeDivisor);
            detect[filled] = (v + detectOffset) * detectScale;
            if (++filled == kImportBlock) {
                flush();
                if (!writeOk) break;
                if (progress && outputs > 0) {
                    const int percent = int(i * 100 / outputs);
                    if (percent != lastPercent) progress(lastPercent = percent);
                }
            }
        }
        flush();
        if (writeOk)
            for (const auto& [key, value] : meta) record.Metadata.Value(MString(key)) = MString(value);
        record.Close();
        if (!writeOk) reason = "cannot write " + dst;
        return writeOk;
    };
    if (!ReplaceFileWhole(dst, writeRecord, why)) {
        record.Close();
        result.samples = result.beats = 0;
        return fail(why);
    }
    if (progress) progress(100);
    result.ok = true;
    return result;
}
