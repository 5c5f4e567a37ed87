#include "app/EdfExport.h"

#include "app/EdfHeader.h"
#include "app/TemporaryFile.h"
#include "core/FileUtils.h"
#include "storage/MAssocStrings.h"
#include "storage/PGFiles.h"

#include <edflib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// EDFlib takes a data record's duration in units of 10 us and holds at most 60 s.
constexpr int kMaxRecordMs = 60'000;
// Annotation signals EDFlib can add; each holds one annotation per data record.
constexpr int kMaxAnnotationSignals = 64;
constexpr int kPatientFieldChars = 80;
// The exact range text; EDFlib 1.23 prints 3.2767 as 3.2766991, one part in 10^7 off, which
// would put every physical value a little beside its code.
constexpr char kPhysicalMinText[] = "-3.2768 ";
constexpr char kPhysicalMaxText[] = "3.2767  ";
constexpr double kPhysicalMin = -3.2768, kPhysicalMax = 3.2767;

// Russian and Ukrainian letters (upper case) in Latin letters, as passports spell them.
const char* CyrillicLatin(char32_t upper) {
    static const char* const kBasic[32] = {"A",  "B",  "V",  "G",    "D",  "E", "ZH", "Z", "I",  "I", "K",
                                           "L",  "M",  "N",  "O",    "P",  "R", "S",  "T", "U",  "F", "KH",
                                           "TS", "CH", "SH", "SHCH", "IE", "Y", "",   "E", "IU", "IA"};
    if (upper >= 0x0410 && upper <= 0x042F) return kBasic[upper - 0x0410];
    switch (upper) {
        case 0x0401:
            return "E"; // Ё
        case 0x0404:
            return "IE"; // Є
        case 0x0406:
            return "I"; // І
        case 0x0407:
            return "I"; // Ї
        case 0x0490:
            return "G"; // Ґ
        default:
            return nullptr;
    }
}

// Upper case of a Cyrillic letter; 0 for anything else.
char32_t CyrillicUpper(char32_t c) {
    if (c >= 0x0410 && c <= 0x042F) return c;
    if (c >= 0x0430 && c <= 0x044F) return c - 0x20;
    if (c >= 0x0400 && c <= 0x040F) return c;
    if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
    if (c == 0x0490 || c == 0x0491) return 0x0490;
    return 0;
}

bool IsLower(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 0x0430 && c <= 0x045F) || c == 0x0491;
}

// A metadata value without adding the key (Value would add it).
MString Meta(const MAssocStrings& m, const char16_t* key) {
    const MString k(key);
    for (int i = 0; i < m.Count(); ++i)
        if (m.At(i).key == k) return m.At(i).value;
    return {};
}

// One EDF subfield: ASCII, no spaces, "X" when empty.
std::string Subfield(const MString& value) {
    MString v = value;
    v.Trim();
    std::string s = EdfAscii(v);
    std::replace(s.begin(), s.end(), ' ', '_');
    return s;
}

bool ValidDate(int y, int m, int d) {
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return !(m == 2 && d == 29 && !leap);
}

// "YYYY-MM-DD" or "DD.MM.YYYY".
bool ParseBirthDate(const MString& value, int& y, int& m, int& d) {
    MString v = value;
    v.Trim();
    const std::string s = v.ToUtf8();
    char tail = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && s.size() == 10) {
    } else if (std::sscanf(s.c_str(), "%2d.%2d.%4d%c", &d, &m, &y, &tail) == 3 && s.size() == 10) {
    } else {
        return false;
    }
    return y >= 1800 && y <= 3000 && ValidDate(y, m, d);
}

std::string SexLetter(const MString& value) {
    MString v = value;
    v.Trim();
    if (v.IsEmpty()) return "X";
    switch (v[0]) {
        case u'M':
        case u'm':
        case u'М':
        case u'м':
            return "M";
        case u'F':
        case u'f':
        case u'Ж':
        case u'ж':
            return "F";
        default:
            return "X";
    }
}

class EdfWriter {
public:
    ~EdfWriter() { Abandon(); }
    bool Open(const std::string& path) {
        m_handle = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, 1);
        return m_handle >= 0;
    }
    int Handle() const { return m_handle; }
    int OpenError() const { return m_handle; }
    bool Close() {
        const int h = m_handle;
        m_handle = -1;
        return h >= 0 && edfclose_file(h) == 0;
    }
    void Abandon() {
        if (m_handle >= 0) edfclose_file(m_handle);
        m_handle = -1;
    }

private:
    int m_handle = -1;
};

// Puts the exact physical range into signal 0 of a closed EDF file and checks the whole file as
// the import would, with the data records and samples per record meant to be written.
bool FinishHeader(const std::string& path, int64_t records, int samplesPerRecord, std::string& reason) {
    MFileHandle file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat st {};
    if (!file.IsOpen() || ::fstat(file.Get(), &st) != 0) {
        reason = std::string("cannot reopen the EDF file: ") + std::strerror(errno);
        return false;
    }
    std::string header(kEdfFixedHeaderBytes, '\0');
    if (::pread(file.Get(), header.data(), header.size(), 0) != ssize_t(header.size())) {
        reason = "cannot read back the EDF header";
        return false;
    }
    const int64_t size = EdfHeaderSize(header, reason);
    if (size == 0) return false;
    header.resize(size_t(size));
    if (::pread(file.Get(), header.data(), header.size(), 0) != ssize_t(header.size())) {
        reason = "cannot read back the EDF header";
        return false;
    }
    const size_t ns = size_t(size / 256 - 1);
    const size_t minAt = 256 + ns * 104, maxAt = 256 + ns * 112;
    header.replace(minAt, 8, kPhysicalMinText);
    header.replace(maxAt, 8, kPhysicalMaxText);
    if (::pwrite(file.Get(), header.data() + minAt, 8, off_t(minAt)) != 8 ||
        ::pwrite(file.Get(), header.data() + maxAt, 8, off_t(maxAt)) != 8) {
        reason = std::string("cannot write the EDF header: ") + std::strerror(errno);
        return false;
    }
    if (!file.Close()) {
        reason = std::string("cannot write the EDF file: ") + std::strerror(errno);
        return false;
    }
    EdfHeader parsed;
    std::string why;
    if (!ParseEdfHeader(header, int64_t(st.st_size), parsed, why) || parsed.signals.empty() ||
        parsed.signals[0].physicalMin != kPhysicalMin || parsed.signals[0].physicalMax != kPhysicalMax ||
        parsed.records != records || parsed.signals[0].samplesPerRecord != samplesPerRecord) {
        reason = "the EDF file written is not sound: " +
                 (why.empty() ? "it holds " + std::to_string(parsed.records) + " data records, not " +
                                    std::to_string(records)
                              : why);
        return false;
    }
    return true;
}

} // namespace

EdfRecordLayout EdfLayoutForPeriod(int periodMs) {
    if (periodMs <= 0) return {};
    // The smallest whole number of seconds holding whole samples: p / gcd(p, 1000) seconds.
    const int g = std::gcd(periodMs, 1000);
    const int seconds = periodMs / g;
    if (seconds * 1000 <= kMaxRecordMs) return {1000 / g, seconds * 1000};
    // Otherwise about a second's worth (at least one sample).
    const int samples = std::max(1, int(std::lround(1000.0 / periodMs)));
    if (int64_t(samples) * periodMs > kMaxRecordMs) return {};
    return {samples, samples * periodMs};
}

std::string EdfAscii(const MString& text) {
    std::string out;
    const std::u16string& s = text.Str();
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            ++i; // one character beyond the basic plane
            out += '?';
            continue;
        }
        if (c < 32 || c == 127) {
            out += ' ';
        } else if (c < 127) {
            out += char(c);
        } else if (const char32_t upper = CyrillicUpper(c)) {
            const char* latin = CyrillicLatin(upper);
            if (!latin) {
                out += '?';
                continue;
            }
            std::string l = latin;
            if (upper != c) {
                for (char& ch : l) ch = char(ch - 'A' + 'a');
            } else if (l.size() > 1 && i + 1 < s.size() && IsLower(s[i + 1])) {
                for (size_t k = 1; k < l.size(); ++k) l[k] = char(l[k] - 'A' + 'a'); // "Zhukov"
            }
            out += l;
        } else {
            out += '?';
        }
    }
    return out;
}

EdfPatientFields EdfPatientFromMetadata(const MAssocStrings& metadata) {
    EdfPatientFields p;
    const std::string code = Subfield(Meta(metadata, u"PatCode"));
    if (!code.empty()) p.code = code;
    p.sex = SexLetter(Meta(metadata, u"PatSex"));
    int y = 0, m = 0, d = 0;
    if (ParseBirthDate(Meta(metadata, u"PatBirthDate"), y, m, d)) {
        p.birthYear = y;
        p.birthMonth = m;
        p.birthDay = d;
    }
    const std::string name = Subfield(Meta(metadata, u"PatName"));
    if (!name.empty()) p.name = name;

    struct Extra {
        const char16_t* key;
        const char* prefix;
    };
    static const Extra kExtras[] = {{u"PatAge", "Age="},
                                    {u"PatHeight", "Height_cm="},
                                    {u"PatWeight", "Weight_kg="},
                                    {u"PatPressure", "BP_mmHg="}};
    std::vector<std::string> extras;
    for (const Extra& e : kExtras) {
        const std::string v = Subfield(Meta(metadata, e.key));
        if (!v.empty()) extras.push_back(e.prefix + v);
    }
    // "code sex birthdate name" and the subfields within 80 characters; the last subfields go first.
    const size_t birth = p.birthYear ? 11 : 1;
    auto fixedLength = [&] { return p.code.size() + 1 + p.sex.size() + 1 + birth + 1 + p.name.size(); };
    size_t length = fixedLength();
    for (const std::string& e : extras) length += 1 + e.size();
    while (!extras.empty() && length > size_t(kPatientFieldChars)) {
        length -= 1 + extras.back().size();
        p.leftOut.insert(p.leftOut.begin(), extras.back());
        extras.pop_back();
    }
    if (fixedLength() > size_t(kPatientFieldChars)) {
        p.code = p.code.substr(0, 20);
        const size_t room = size_t(kPatientFieldChars) - (fixedLength() - p.name.size());
        if (p.name.size() > room) {
            p.leftOut.push_back("the end of the name (" + p.name.substr(room) + ")");
            p.name.resize(room);
        }
    }
    for (const std::string& e : extras) p.additional += (p.additional.empty() ? "" : " ") + e;
    return p;
}

std::string EdfHeartRateText(double hr) {
    char text[32];
    std::snprintf(text, sizeof text, "HR %.2f", hr);
    return text;
}

bool ParseEdfHeartRateText(const std::string& text, double& hr) {
    size_t p = 0;
    auto skipBlanks = [&] {
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    };
    skipBlanks();
    if (p + 2 > text.size() || (text[p] != 'H' && text[p] != 'h') ||
        (text[p + 1] != 'R' && text[p + 1] != 'r'))
        return false;
    p += 2;
    skipBlanks();
    if (p < text.size() && (text[p] == '=' || text[p] == ':')) ++p;
    skipBlanks();
    const size_t begin = p;
    while (p < text.size() && ((text[p] >= '0' && text[p] <= '9') || text[p] == '.' || text[p] == ',')) ++p;
    if (p == begin) return false;
    std::string number = text.substr(begin, p - begin);
    std::replace(number.begin(), number.end(), ',', '.');
    char* end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) return false;
    skipBlanks();
    std::string unit = text.substr(p);
    while (!unit.empty() && (unit.back() == ' ' || unit.back() == '\t')) unit.pop_back();
    for (char& c : unit) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!unit.empty() && unit != "bpm" && unit != "/min") return false;
    // Beats per minute that a heart-rate entry can hold (x 100 in 16 bits).
    if (!(v > 0 && v < 655.35)) return false;
    hr = v;
    return true;
}

EdfExportResult WriteEdfExport(const MString& path, double from, double to, PGFiles& record) {
    EdfExportResult result;
    auto fail = [&](std::string why) {
        result.reason = std::move(why);
        return result;
    };
    const std::string target = NativePath(path);
    if (target.empty()) return fail("invalid output path");
    if (!record.IsOpen() || record.IsWriting()) return fail("the record is not open for reading");
    if (!(to > from)) return fail("the fragment is empty");

    record.SeekTime(from, true);
    const double first = record.CurrentTime();
    const int periodMs = record.StampFields().periodMs;
    const EdfRecordLayout layout = EdfLayoutForPeriod(periodMs);
    if (layout.samples == 0)
        return fail("the record's sample period (" + std::to_string(periodMs) +
                    " ms) does not fit EDF data records");
    const double recordSeconds = layout.durationMs / 1000.0;
    result.firstTime = first;
    result.rate = 1000.0 / periodMs;
    result.recordMs = layout.durationMs;

    // The whole data records the fragment fills (a pass over its samples: a damaged record may
    // hold fewer than its times promise).
    constexpr int32_t kBlock = 1024;
    double values[kBlock], times[kBlock];
    int64_t available = 0;
    for (bool more = true; more;) {
        const int32_t n = record.ReadRawSamples(values, times, kBlock);
        if (n <= 0) break;
        for (int32_t j = 0; j < n && more; ++j) {
            if (times[j] < to)
                ++available;
            else
                more = false;
        }
    }
    const int64_t records = available / layout.samples;
    if (records < 1)
        return fail("the fragment is shorter than one EDF data record (" +
                    MString::FromDouble(recordSeconds).ToUtf8() + " s)");

    // The heart-rate entries within those records, read from the record's start so that none
    // is passed over; times in units of 100 us from the first sample.
    const int64_t endUnits = records * int64_t(layout.durationMs) * 10;
    std::vector<std::pair<int64_t, double>> beats; // {onset, hr}
    record.SeekTime(record.StartTime(), true);
    for (;;) {
        double hr[256], at[256];
        const int32_t n = record.ReadHeartRates(hr, at, 256);
        if (n <= 0) break;
        for (int32_t i = 0; i < n; ++i) {
            const int64_t onset = std::llround((at[i] - first) * 10000.0);
            if (at[i] >= first && onset < endUnits) beats.emplace_back(onset, hr[i]);
        }
    }
    std::stable_sort(beats.begin(), beats.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // One annotation per annotation signal and data record.
    const int64_t signalsNeeded = std::max<int64_t>(1, (int64_t(beats.size()) + records - 1) / records);
    if (signalsNeeded > kMaxAnnotationSignals)
        return fail(std::to_string(beats.size()) + " heart-rate entries are more than EDF+ annotations of " +
                    std::to_string(records) + " data records can hold");
    result.annotationSignals = int(signalsNeeded);

    // The header.
    const MAssocStrings& meta = record.Metadata;
    const EdfPatientFields patient = EdfPatientFromMetadata(meta);
    result.notes = patient.leftOut;
    if (!Meta(meta, u"PatNotice").IsEmpty()) result.notes.push_back("the notes (PatNotice)");
    struct tm start {};
    bool startKnown = false;
    int64_t subsecond = 0; // 100 us
    {
        MString startText = Meta(meta, u"RecordStartT");
        startText.Trim();
        const std::string digits = startText.ToUtf8();
        int64_t seconds = 0;
        const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
        if (!digits.empty() && parsed.ec == std::errc() && parsed.ptr == digits.data() + digits.size() &&
            seconds >= 0 && seconds < (int64_t(1) << 40)) {
            const int64_t at = seconds * 10000 + std::llround(first * 10000.0);
            const time_t whole = time_t(at / 10000);
            subsecond = at % 10000;
            startKnown = at >= 0 && ::localtime_r(&whole, &start) && start.tm_year + 1900 >= 1985 &&
                         start.tm_year + 1900 <= 2084;
        }
    }
    if (!startKnown) {
        start = {};
        start.tm_year = 85;
        start.tm_mday = 1;
        subsecond = 0;
    }
    const bool live = periodMs == 2;

    // The file, written whole under a temporary name.
    const auto writeEdf = [&](const std::string& temp, std::string& why) {
        EdfWriter edf;
        if (!edf.Open(temp)) {
            why = "cannot create " + target + " (EDFlib error " + std::to_string(edf.OpenError()) + ")";
            return false;
        }
        const int h = edf.Handle();
        bool set = edf_set_samplefrequency(h, 0, layout.samples) == 0 &&
                   edf_set_datarecord_duration(h, layout.durationMs * 100) == 0 &&
                   edf_set_digital_minimum(h, 0, -32768) == 0 && edf_set_digital_maximum(h, 0, 32767) == 0 &&
                   edf_set_physical_minimum(h, 0, kPhysicalMin) == 0 &&
                   edf_set_physical_maximum(h, 0, kPhysicalMax) == 0 && edf_set_label(h, 0, "Pleth") == 0 &&
                   edf_set_physical_dimension(h, 0, live ? "ADC/4095" : "a.u.") == 0 &&
                   edf_set_transducer(h, 0, live ? "finger photoplethysmograph" : "") == 0 &&
                   edf_set_startdatetime(h, start.tm_year + 1900, start.tm_mon + 1, start.tm_mday,
                                         start.tm_hour, start.tm_min, start.tm_sec) == 0 &&
                   edf_set_subsecond_starttime(h, int(subsecond) * 1000) == 0 &&
                   edf_set_patientcode(h, patient.code.c_str()) == 0 &&
                   edf_set_patientname(h, patient.name.c_str()) == 0 &&
                   edf_set_equipment(h, live ? "Kestrel-9" : "X") == 0 &&
                   edf_set_number_of_annotation_signals(h, result.annotationSignals) == 0;
        if (set && patient.sex != "X") set = edf_set_gender(h, patient.sex == "M" ? 1 : 0) == 0;
        if (set && patient.birthYear)
            set = edf_set_birthdate(h, patient.birthYear, patient.birthMonth, patient.birthDay) == 0;
        if (set && !patient.additional.empty())
            set = edf_set_patient_additional(h, patient.additional.c_str()) == 0;
        if (!set) {
            why = "EDFlib refused the header of " + target;
            return false;
        }

        // The samples, one data record at a time.
        record.SeekTime(from, true);
        std::vector<short> codes(size_t(layout.samples));
        int filled = 0;
        while (result.records < records) {
            const int32_t n = record.ReadRawSamples(values, times, kBlock);
            if (n <= 0) break;
            for (int32_t j = 0; j < n && result.records < records; ++j) {
                codes[size_t(filled++)] =
                    short(std::clamp<long>(std::lround(values[j] * 10000.0), -32768, 32767));
                if (filled == layout.samples) {
                    if (edfwrite_digital_short_samples(h, codes.data()) != 0) {
                        why = "cannot write " + target + ": " + std::strerror(errno);
                        return false;
                    }
                    ++result.records;
                    filled = 0;
                }
            }
        }
        if (result.records != records) {
            why = "the record changed while it was exported";
            return false;
        }
        for (const auto& [onset, hr] : beats) {
            if (edfwrite_annotation_utf8(h, onset, -1, EdfHeartRateText(hr).c_str()) != 0) {
                why = "EDFlib refused an annotation";
                return false;
            }
            ++result.annotations;
        }
        if (!edf.Close()) {
            why = "cannot write " + target;
            return false;
        }
        return FinishHeader(temp, records, layout.samples, why);
    };
    std::string why;
    if (!ReplaceFileWhole(target, writeEdf, why)) {
        result.records = result.annotations = 0;
        return fail(why);
    }
    result.samples = result.records * layout.samples;
    result.ok = true;
    return result;
}
