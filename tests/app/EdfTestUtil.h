#pragma once
// EDF test files built byte by byte from the format's rules (independently of the code under
// test), a time zone set for one test, and record reading helpers.

#include "storage/PGFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace edftest {

// Left-aligned ASCII padded with spaces to width.
inline std::string Pad(const std::string& text, size_t width) {
    EXPECT_LE(text.size(), width) << text;
    std::string s = text.substr(0, width);
    s.resize(width, ' ');
    return s;
}

struct SignalPlan {
    std::string label = "Pleth";
    int samplesPerRecord = 100;
    std::string digitalMin = "-32768", digitalMax = "32767";
    std::string physicalMin = "-3.2768", physicalMax = "3.2767";
    std::string dimension = "a.u.";
    // Digital value of sample k of the signal (ordinary signals).
    std::function<int64_t(int64_t k)> code = [](int64_t) { return 0; };
    bool annotations = false; // an annotation signal: TALs instead of samples
};

struct Annotation {
    double onset; // seconds from the header's start second
    std::string text;
};

struct EdfPlan {
    bool bdf = false;
    std::string reserved; // "EDF+C" for EDF+
    std::string patient = "X X X X";
    std::string recording = "Startdate X X X X";
    std::string date = "15.11.23", time = "01.13.20";
    std::string duration = "1";
    int records = 10;
    std::vector<SignalPlan> signals = {SignalPlan()};
    std::vector<Annotation> annotations; // each in the data record its onset falls in
    double start = 0;                    // onset of the first data record (EDF+ subsecond start)
    // Replacements of computed fields, for damaged headers.
    std::optional<std::string> headerBytesField, recordsField, signalsField;
    // The time-keeping onset text of record r (default start + r x duration).
    std::function<std::string(int r)> timeKeeping;
};

inline std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", v);
    return buf;
}

// EDF: header of 256 + 256 x ns bytes, then the data records; little-endian int16 (BDF int24)
// samples; annotation signals hold the TALs "+onset\x14text\x14\0" after the record's
// time-keeping TAL "+start\x14\x14\0", padded with zeros.
inline std::string BuildEdf(const EdfPlan& s) {
    const size_t ns = s.signals.size();
    std::string h;
    h += s.bdf ? std::string("\xFF") + "BIOSEMI" : Pad("0", 8);
    h += Pad(s.patient, 80) + Pad(s.recording, 80) + Pad(s.date, 8) + Pad(s.time, 8);
    h += Pad(s.headerBytesField.value_or(std::to_string(256 * (ns + 1))), 8);
    h += Pad(s.reserved, 44);
    h += Pad(s.recordsField.value_or(std::to_string(s.records)), 8);
    h += Pad(s.duration, 8);
    h += Pad(s.signalsField.value_or(std::to_string(ns)), 4);
    auto each = [&](size_t width, auto field) {
        for (const SignalPlan& g : s.signals) h += Pad(field(g), width);
    };
    each(16, [](const SignalPlan& g) { return g.label; });
    each(80, [](const SignalPlan&) { return std::string(); });
    each(8, [](const SignalPlan& g) { return g.dimension; });
    each(8, [](const SignalPlan& g) { return g.physicalMin; });
    each(8, [](const SignalPlan& g) { return g.physicalMax; });
    each(8, [](const SignalPlan& g) { return g.digitalMin; });
    each(8, [](const SignalPlan& g) { return g.digitalMax; });
    each(80, [](const SignalPlan&) { return std::string(); });
    each(8, [](const SignalPlan& g) { return std::to_string(g.samplesPerRecord); });
    each(32, [](const SignalPlan&) { return std::string(); });

    const int bytes = s.bdf ? 3 : 2;
    const double duration = std::atof(s.duration.c_str());
    std::string data;
    for (int r = 0; r < s.records; ++r) {
        bool firstAnnotations = true;
        for (const SignalPlan& g : s.signals) {
            const size_t size = size_t(g.samplesPerRecord * bytes);
            if (g.annotations) {
                std::string tal;
                if (firstAnnotations) {
                    tal = "+" + (s.timeKeeping ? s.timeKeeping(r) : Number(s.start + r * duration)) +
                          std::string("\x14\x14\0", 3);
                    for (const Annotation& a : s.annotations)
                        if (int(std::floor((a.onset - s.start) / duration)) == r)
                            tal += "+" + Number(a.onset) + "\x14" + a.text + std::string("\x14\0", 2);
                }
                firstAnnotations = false;
                EXPECT_LE(tal.size(), size) << "annotation signal too small";
                tal.resize(size, '\0');
                data += tal;
                continue;
            }
            for (int i = 0; i < g.samplesPerRecord; ++i) {
                const int64_t v = g.code(int64_t(r) * g.samplesPerRecord + i);
                for (int b = 0; b < bytes; ++b) data += char(uint8_t(uint64_t(v) >> (8 * b)));
            }
        }
    }
    return h + data;
}

// An EDF+ annotation signal big enough for a few annotations per record.
inline SignalPlan AnnotationSignal(int samples = 60) {
    SignalPlan a;
    a.label = "EDF Annotations";
    a.samplesPerRecord = samples;
    a.physicalMin = "-1";
    a.physicalMax = "1";
    a.dimension = "";
    a.annotations = true;
    return a;
}

// Sets TZ for the lifetime of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_old;
};

// Every sample of a record from its first chunk on, as stored codes, and its heart-rate entries.
struct RecordContent {
    std::vector<int> codes;
    std::vector<double> times;
    std::vector<std::pair<uint32_t, uint16_t>> beats; // {ms, beats per minute x 100}
    int periodMs = 0;
    std::vector<std::pair<std::string, std::string>> metadata;
};

inline RecordContent ReadRecord(const std::string& path) {
    RecordContent c;
    PGFiles rec;
    EXPECT_TRUE(rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly)) << path;
    double v[1024], t[1024];
    for (int32_t n; (n = rec.ReadRawSamples(v, t, 1024)) > 0;)
        for (int32_t i = 0; i < n; ++i) {
            c.codes.push_back(int(std::lround(v[i] * 10000)));
            c.times.push_back(t[i]);
        }
    c.periodMs = rec.StampFields().periodMs;
    for (int i = 0; i < rec.Metadata.Count(); ++i)
        c.metadata.emplace_back(rec.Metadata.At(i).key.ToUtf8(), rec.Metadata.At(i).value.ToUtf8());
    // From the first chunk again, so that entries before the first time stamp count too.
    rec.Close();
    EXPECT_TRUE(rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly)) << path;
    double hr[256], ht[256];
    for (int32_t n; (n = rec.ReadHeartRates(hr, ht, 256)) > 0;)
        for (int32_t i = 0; i < n; ++i)
            c.beats.emplace_back(uint32_t(std::lround(ht[i] * 1000)), uint16_t(std::lround(hr[i] * 100)));
    rec.Close();
    return c;
}

inline std::string MetaValue(const RecordContent& c, const std::string& key) {
    for (const auto& [k, v] : c.metadata)
        if (k == key) return v;
    return "<absent>";
}

} // namespace edftest
