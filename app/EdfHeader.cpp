#include "app/EdfHeader.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

std::string_view Field(std::string_view h, size_t at, size_t size) {
    return h.substr(at, size);
}

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

std::string Quoted(std::string_view field) {
    return "'" + std::string(TrimSpaces(field)) + "'";
}

bool ParseInteger(std::string_view field, int64_t& value) {
    std::string_view s = TrimSpaces(field);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.size() > 18) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), value);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseReal(std::string_view field, double& value) {
    std::string_view s = TrimSpaces(field);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(value);
}

// Two decimal digits at text[at].
bool TwoDigits(std::string_view text, size_t at, int& value) {
    if (at + 2 > text.size()) return false;
    const char a = text[at], b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    value = (a - '0') * 10 + (b - '0');
    return true;
}

// "dd.mm.yy" or "hh.mm.ss": three pairs of digits separated by dots.
bool ThreePairs(std::string_view f, int& a, int& b, int& c) {
    return f.size() == 8 && f[2] == '.' && f[5] == '.' && TwoDigits(f, 0, a) && TwoDigits(f, 3, b) &&
           TwoDigits(f, 6, c);
}

int Subfields(std::string_view s) {
    int n = 0;
    for (size_t i = 0; i < s.size();) {
        while (i < s.size() && s[i] == ' ') ++i;
        if (i == s.size()) break;
        ++n;
        while (i < s.size() && s[i] != ' ') ++i;
    }
    return n;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

const char* EdfHeader::TypeName() const {
    if (bdf) return plus ? (discontinuous ? "BDF+D" : "BDF+C") : "BDF";
    return plus ? (discontinuous ? "EDF+D" : "EDF+C") : "EDF";
}

int64_t EdfHeaderSize(std::string_view h, std::string& reason) {
    if (h.size() < kEdfFixedHeaderBytes) {
        reason = "shorter than an EDF header (" + std::to_string(h.size()) + " of 256 bytes)";
        return 0;
    }
    const bool bdf = static_cast<uint8_t>(h[0]) == 0xFF && h.substr(1, 7) == "BIOSEMI";
    if (!bdf && h.substr(0, 8) != "0       ") {
        reason = "not an EDF or BDF file (the version field is neither \"0\" nor BIOSEMI's)";
        return 0;
    }
    int64_t ns = 0, bytes = 0;
    if (!ParseInteger(Field(h, 252, 4), ns) || ns < 1 || ns > 9999) {
        reason = "the number of signals " + Quoted(Field(h, 252, 4)) + " is not a positive number";
        return 0;
    }
    if (ns > kEdfMaxSignals) {
        reason = "the file has " + std::to_string(ns) + " signals; at most " +
                 std::to_string(kEdfMaxSignals) + " are supported";
        return 0;
    }
    const int64_t expected = int64_t(kEdfFixedHeaderBytes + kEdfSignalHeaderBytes * size_t(ns));
    if (!ParseInteger(Field(h, 184, 8), bytes) || bytes != expected) {
        reason = "the header size field " + Quoted(Field(h, 184, 8)) + " does not match " +
                 std::to_string(ns) + " signals (256 x " + std::to_string(ns + 1) + " = " +
                 std::to_string(expected) + " bytes)";
        return 0;
    }
    return expected;
}

bool ParseEdfHeader(std::string_view h, int64_t fileSize, EdfHeader& out, std::string& reason) {
    out = EdfHeader();
    const int64_t size = EdfHeaderSize(h, reason);
    if (size == 0) return false;
    if (int64_t(h.size()) < size) {
        reason = "the file ends inside its header (" + std::to_string(h.size()) + " of " +
                 std::to_string(size) + " bytes)";
        return false;
    }
    h = h.substr(0, size_t(size));
    out.bdf = static_cast<uint8_t>(h[0]) == 0xFF;
    out.headerBytes = size;
    for (size_t i = out.bdf ? 1 : 0; i < h.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(h[i]);
        if (c < 32 || c > 126) {
            reason = "the header holds a byte that is not printable ASCII (" + std::to_string(c) +
                     " at offset " + std::to_string(i) + ")";
            return false;
        }
    }
    auto trimRight = [](std::string_view s) {
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        return std::string(s);
    };
    out.patient = trimRight(Field(h, 8, 80));
    out.recording = trimRight(Field(h, 88, 80));

    int yy = 0;
    if (!ThreePairs(Field(h, 168, 8), out.day, out.month, yy) || out.day < 1 || out.day > 31 ||
        out.month < 1 || out.month > 12) {
        reason = "the start date " + Quoted(Field(h, 168, 8)) + " is not a date dd.mm.yy";
        return false;
    }
    out.year = yy >= 85 ? 1900 + yy : 2000 + yy;
    if (!ThreePairs(Field(h, 176, 8), out.hour, out.minute, out.second) || out.hour > 23 || out.minute > 59 ||
        out.second > 59) {
        reason = "the start time " + Quoted(Field(h, 176, 8)) + " is not a time hh.mm.ss";
        return false;
    }

    const std::string_view reserved = Field(h, 192, 44);
    const std::string_view plusMark = out.bdf ? "BDF+" : "EDF+";
    if (reserved.substr(0, 4) == plusMark && (reserved[4] == 'C' || reserved[4] == 'D')) {
        out.plus = true;
        out.discontinuous = reserved[4] == 'D';
    }

    if (!ParseInteger(Field(h, 236, 8), out.records)) {
        reason = "the number of data records " + Quoted(Field(h, 236, 8)) + " is not a number";
        return false;
    }
    if (out.records == -1) {
        reason = "the number of data records is unknown (-1): the recording was not closed properly";
        return false;
    }
    if (out.records < 1) {
        reason = "the file holds no data record (" + std::to_string(out.records) + ")";
        return false;
    }
    const std::string_view durationText = TrimSpaces(Field(h, 244, 8));
    if (!ParseEdfSeconds(durationText, out.durationTicks) || out.durationTicks < 0 ||
        (!durationText.empty() && durationText.front() == '-')) {
        reason = "the data record duration " + Quoted(durationText) + " is not a number of seconds";
        return false;
    }

    const size_t ns = size_t((size - 256) / 256);
    out.signals.resize(ns);
    const int64_t digitalLow = out.bdf ? -8388608 : -32768;
    const int64_t digitalHigh = out.bdf ? 8388607 : 32767;
    const int64_t recordLimit = out.bdf ? kBdfMaxRecordBytes : kEdfMaxRecordBytes;
    bool anyOrdinary = false, anyAnnotations = false;
    for (size_t i = 0; i < ns; ++i) {
        EdfSignal& s = out.signals[i];
        const std::string name = "signal " + std::to_string(i + 1);
        auto at = [&](size_t before, size_t width) { return Field(h, 256 + ns * before + i * width, width); };
        s.label = std::string(TrimSpaces(at(0, 16)));
        s.transducer = std::string(TrimSpaces(at(16, 80)));
        s.dimension = std::string(TrimSpaces(at(96, 8)));
        s.prefilter = std::string(TrimSpaces(at(136, 80)));
        s.annotations = out.plus && s.label == (out.bdf ? "BDF Annotations" : "EDF Annotations");
        if (!ParseReal(at(104, 8), s.physicalMin) || !ParseReal(at(112, 8), s.physicalMax)) {
            reason = name + ": the physical minimum " + Quoted(at(104, 8)) + " or maximum " +
                     Quoted(at(112, 8)) + " is not a number";
            return false;
        }
        if (s.physicalMin == s.physicalMax) {
            reason = name + ": the physical minimum and maximum are equal";
            return false;
        }
        int64_t dmin = 0, dmax = 0;
        if (!ParseInteger(at(120, 8), dmin) || !ParseInteger(at(128, 8), dmax)) {
            reason = name + ": the digital minimum " + Quoted(at(120, 8)) + " or maximum " +
                     Quoted(at(128, 8)) + " is not a whole number";
            return false;
        }
        if (dmin < digitalLow || dmax > digitalHigh || dmin >= dmax) {
            reason = name + ": the digital range " + std::to_string(dmin) + " ... " + std::to_string(dmax) +
                     " is not a rising range within " + std::to_string(digitalLow) + " ... " +
                     std::to_string(digitalHigh);
            return false;
        }
        s.digitalMin = int32_t(dmin);
        s.digitalMax = int32_t(dmax);
        if (!ParseInteger(at(216, 8), s.samplesPerRecord) || s.samplesPerRecord < 1) {
            reason = name + ": the number of samples per data record " + Quoted(at(216, 8)) +
                     " is not a positive number";
            return false;
        }
        s.offset = out.recordBytes;
        // At most 99,999,999 samples of 3 bytes per signal: no overflow before the check.
        out.recordBytes += s.samplesPerRecord * out.BytesPerSample();
        if (out.recordBytes > recordLimit) {
            reason = "a data record would hold " + std::to_string(out.recordBytes) +
                     " bytes or more; at most " + std::to_string(recordLimit) + " are supported";
            return false;
        }
        (s.annotations ? anyAnnotations : anyOrdinary) = true;
    }
    if (anyOrdinary && out.durationTicks == 0) {
        reason = "the data record duration is 0 s";
        return false;
    }
    if (out.plus) {
        if (!anyAnnotations) {
            reason = std::string(out.TypeName()) + " file without an annotation signal";
            return false;
        }
        if (Subfields(out.patient) < 4) {
            reason =
                "the patient field '" + out.patient + "' lacks the subfields code, sex, birth date and name";
            return false;
        }
        if (out.recording.rfind("Startdate ", 0) != 0 || Subfields(out.recording) < 5) {
            reason = "the recording field '" + out.recording +
                     "' does not start with Startdate, date, admin code, technician and equipment";
            return false;
        }
    }
    // At most 99,999,999 records of 15 MiB: within int64.
    const int64_t expected = out.headerBytes + out.records * out.recordBytes;
    if (fileSize < expected) {
        reason = "the file is truncated: the header announces " + std::to_string(out.records) +
                 " data records of " + std::to_string(out.recordBytes) + " bytes (" +
                 std::to_string(expected) + " bytes in all), the file has " + std::to_string(fileSize);
        return false;
    }
    if (fileSize > expected) {
        reason = "the file has " + std::to_string(fileSize - expected) +
                 " bytes after the data records its header announces (" + std::to_string(out.records) +
                 " of " + std::to_string(out.recordBytes) + " bytes)";
        return false;
    }
    return true;
}

bool ParseEdfSeconds(std::string_view s, int64_t& ticks) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    size_t i = 0;
    int64_t whole = 0;
    int wholeDigits = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
        if (++wholeDigits > 11) return false;
        whole = whole * 10 + (s[i] - '0');
    }
    int64_t fraction = 0;
    int fractionDigits = 0;
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && IsDigit(s[i]); ++i, ++fractionDigits)
            if (fractionDigits < 7) fraction = fraction * 10 + (s[i] - '0');
    }
    if (i != s.size() || wholeDigits + fractionDigits == 0) return false;
    for (int d = std::min(fractionDigits, 7); d < 7; ++d) fraction *= 10;
    ticks = whole * kEdfTicksPerSecond + fraction;
    if (negative) ticks = -ticks;
    return true;
}

bool ParseEdfTals(std::string_view b, bool timeKeeping, int64_t& recordStart, const EdfAnnotationSink& each,
                  std::string& reason) {
    size_t p = 0;
    bool first = true;
    while (p < b.size() && b[p] != '\0') {
        // Onset: sign, digits, optional fraction; then the optional duration.
        const size_t onsetBegin = p;
        if (b[p] != '+' && b[p] != '-') {
            reason = "an annotation list does not start with + or -";
            return false;
        }
        ++p;
        while (p < b.size() && (IsDigit(b[p]) || b[p] == '.')) ++p;
        int64_t onset = 0;
        if (!ParseEdfSeconds(b.substr(onsetBegin, p - onsetBegin), onset)) {
            reason = "an annotation onset is not a number of seconds";
            return false;
        }
        int64_t duration = -1;
        if (p < b.size() && b[p] == '\x15') {
            const size_t durationBegin = ++p;
            while (p < b.size() && (IsDigit(b[p]) || b[p] == '.')) ++p;
            if (!ParseEdfSeconds(b.substr(durationBegin, p - durationBegin), duration)) {
                reason = "an annotation duration is not a number of seconds";
                return false;
            }
        }
        if (p >= b.size() || b[p] != '\x14') {
            reason = "an annotation onset is not followed by byte 20";
            return false;
        }
        ++p;
        bool firstAnnotation = true;
        for (;;) {
            if (p >= b.size()) {
                reason = "an annotation list is not closed by a zero byte";
                return false;
            }
            if (b[p] == '\0') {
                ++p;
                break;
            }
            const size_t textBegin = p;
            while (p < b.size() && b[p] != '\x14' && b[p] != '\0') ++p;
            if (p >= b.size() || b[p] != '\x14') {
                reason = "an annotation text is not closed by byte 20";
                return false;
            }
            const std::string_view text = b.substr(textBegin, p - textBegin);
            ++p;
            if (first && firstAnnotation && timeKeeping) {
                if (!text.empty()) {
                    reason = "a data record does not start with its time-keeping annotation";
                    return false;
                }
                recordStart = onset;
            } else if (!text.empty()) {
                each(onset, duration, text);
            }
            firstAnnotation = false;
        }
        if (first && timeKeeping && firstAnnotation) {
            reason = "a data record does not start with its time-keeping annotation";
            return false;
        }
        first = false;
    }
    if (first && timeKeeping) {
        reason = "a data record has no time-keeping annotation";
        return false;
    }
    return true;
}
