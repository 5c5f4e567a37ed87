// EDF+ export and EDF/EDF+/BDF import: the export's header and data records against the EDF+
// rules, the round trip record -> EDF+ -> record, files from elsewhere, and damaged files.

#include "app/EdfExport.h"
#include "app/EdfHeader.h"
#include "app/EdfImport.h"
#include "storage/PGFiles.h"
#include "tests/app/EdfTestUtil.h"
#include "tests/app/TextTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using edftest::AnnotationSignal;
using edftest::BuildEdf;
using edftest::EdfPlan;
using edftest::Pad;
using edftest::SignalPlan;

// Stored code of sample k of the test records: spread over both signs.
int TestCode(int64_t k) {
    return int((k * 7919) % 60001) - 30000;
}
// A value the record stores as exactly that code (it truncates value x 10000 toward zero).
double ValueOfCode(int c) {
    return (c + (c >= 0 ? 0.5 : -0.5)) / 10000.0;
}

const std::vector<std::pair<std::string, std::string>> kPatient = {
    {"PatName", "Иванов Иван"},
    {"PatAge", "42"},
    {"PatHeight", "175"},
    {"PatWeight", " 70 "},
    {"PatPressure", "120/80"},
    {"PatSex", "F"},
    {"PatBirthDate", "1981-05-02"},
    {"RecordStartT", "1700000000"},
    {"PatNotice", "line 1\nline 2"},
};

// Seconds of a record at the given period; beats every 0.8 s alternating 75.25 and 80.50 per minute.
apptest::RecordPlan TestPlan(double period, double seconds) {
    apptest::RecordPlan plan;
    plan.period = period;
    plan.samples = int64_t(std::llround(seconds / period));
    plan.block = period < 0.005 ? 28 : 50; // as the recorder and the text import write
    plan.value = [](int64_t k) { return ValueOfCode(TestCode(k)); };
    for (int k = 0; 0.4 + 0.8 * k < seconds; ++k) plan.beats.push_back({0.4 + 0.8 * k, k % 2 ? 80.5 : 75.25});
    plan.metadata = kPatient;
    return plan;
}

EdfExportResult Export(const std::string& record, const std::string& edf, double from, double to) {
    PGFiles rec;
    EXPECT_TRUE(rec.Open(MString(std::string_view(record)), PGFiles::OpenMode::ReadOnly));
    return WriteEdfExport(MString(std::string_view(edf)), from, to, rec);
}

EdfImportResult Import(const std::string& edf, const std::string& record, const std::string& label = {}) {
    PGFiles rec;
    return ImportEdfFile(MString(std::string_view(edf)), label, MString(std::string_view(record)), rec);
}

bool Contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A number field: left-aligned decimal text padded with spaces; its value.
bool NumberField(const std::string& f, double& v) {
    if (f.empty() || f[0] == ' ') return false;
    const size_t end = f.find(' ');
    if (end != std::string::npos && f.find_first_not_of(' ', end) != std::string::npos) return false;
    const std::string text = f.substr(0, end);
    char* stop = nullptr;
    v = std::strtod(text.c_str(), &stop);
    return stop == text.c_str() + text.size() && text.find_first_not_of("+-.0123456789") == std::string::npos;
}

// The annotations of one annotation signal's bytes, split by the TAL rules:
// "+onset[\x15duration]\x14text\x14...\0", padding zeros after the last TAL.
struct Tal {
    double onset;
    std::vector<std::string> texts; // including empty (time-keeping) ones
};
std::vector<Tal> SplitTals(const std::string& bytes, std::string& error) {
    std::vector<Tal> tals;
    size_t p = 0;
    while (p < bytes.size() && bytes[p] != '\0') {
        const size_t end = bytes.find('\0', p);
        if (end == std::string::npos) {
            error = "TAL without its zero byte";
            return tals;
        }
        const std::string tal = bytes.substr(p, end - p);
        p = end + 1;
        if (tal[0] != '+' && tal[0] != '-') error = "TAL does not start with a sign";
        const size_t first20 = tal.find('\x14');
        if (first20 == std::string::npos || tal.back() != '\x14') {
            error = "TAL without byte 20 after the onset or the last annotation";
            return tals;
        }
        Tal t;
        t.onset = std::strtod(tal.substr(0, tal.find_first_of("\x14\x15")).c_str(), nullptr);
        for (size_t q = first20 + 1; q < tal.size();) {
            const size_t e = tal.find('\x14', q);
            t.texts.push_back(tal.substr(q, e - q));
            q = e + 1;
        }
        tals.push_back(t);
    }
    if (bytes.find_first_not_of('\0', p) != std::string::npos)
        error = "bytes after the last TAL are not zero";
    return tals;
}

class EdfTest : public ::testing::Test {
protected:
    std::string Record(const std::string& name, const apptest::RecordPlan& plan) {
        const std::string path = m_dir.File(name);
        apptest::WriteRecord(path, plan);
        return path;
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = m_dir.File(name);
        apptest::WriteFile(path, bytes);
        return path;
    }

    apptest::TempDir m_dir;
    // Local time of the header fields: three hours east of UTC, no daylight saving.
    edftest::ScopedTimeZone m_tz{"MSK-3"};
};

TEST_F(EdfTest, ExportFollowsTheEdfPlusRulesByteByByte) {
    const std::string rec = Record("live.pwv", TestPlan(0.002, 20));
    const std::string out = m_dir.File("live.edf");
    const EdfExportResult r = Export(rec, out, 5.249, 15.25);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_NEAR(r.firstTime, 5.25, 1e-6);
    EXPECT_EQ(r.records, 10);
    EXPECT_EQ(r.samples, 5000);
    EXPECT_EQ(r.rate, 500);
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_TRUE(Contains(r.notes[0], "PatNotice"));

    const std::string f = apptest::ReadFile(out);
    ASSERT_GE(f.size(), 768u);
    auto field = [&](size_t at, size_t width) { return f.substr(at, width); };
    double ns = 0;
    ASSERT_TRUE(NumberField(Pad(field(252, 4), 4), ns)) << field(252, 4);
    ASSERT_GE(ns, 2); // the pulse wave and at least one annotation signal
    const size_t n = size_t(ns), hb = 256 * (n + 1);
    ASSERT_GE(f.size(), hb);
    for (size_t i = 0; i < hb; ++i)
        ASSERT_TRUE(f[i] >= 32 && f[i] <= 126) << "header byte " << i << " is not printable ASCII";

    // Fixed fields.
    EXPECT_EQ(field(0, 8), "0       ");
    // Patient: code, sex, birth date dd-MMM-yyyy, name (spaces as "_", Cyrillic in Latin letters),
    // then the patient window's values as extra subfields; "X" for the unknown code.
    EXPECT_EQ(field(8, 80),
              Pad("X F 02-MAY-1981 Ivanov_Ivan Age=42 Height_cm=175 Weight_kg=70 BP_mmHg=120/80", 80));
    // Recording: "Startdate", the start date with a four-digit year, admin code, technician, equipment.
    EXPECT_EQ(field(88, 80), Pad("Startdate 15-NOV-2023 X X Kestrel-9", 80));
    // 1700000000 + 5.25 s = 2023-11-14 22:13:25.25 UTC, 01:13:25 on the 15th three hours east; the
    // quarter second is the first data record's time keeping.
    EXPECT_EQ(field(168, 8), "15.11.23");
    EXPECT_EQ(field(176, 8), "01.13.25");
    EXPECT_EQ(field(184, 8), Pad(std::to_string(hb), 8));
    EXPECT_EQ(field(192, 44), Pad("EDF+C", 44));
    EXPECT_EQ(field(236, 8), Pad("10", 8));
    double duration = 0;
    ASSERT_TRUE(NumberField(field(244, 8), duration)) << field(244, 8);
    EXPECT_EQ(duration, 1.0);

    // Signal fields: ns x 16 label, 80 transducer, 8 dimension, 8 physical min, 8 physical max,
    // 8 digital min, 8 digital max, 80 prefiltering, 8 samples per record, 32 reserved.
    auto sig = [&](size_t before, size_t width, size_t i) {
        return field(256 + n * before + i * width, width);
    };
    EXPECT_EQ(sig(0, 16, 0), Pad("Pleth", 16));
    EXPECT_EQ(sig(16, 80, 0), Pad("finger photoplethysmograph", 80));
    EXPECT_EQ(sig(96, 8, 0), Pad("ADC/4095", 8));
    EXPECT_EQ(sig(104, 8, 0), Pad("-3.2768", 8));
    EXPECT_EQ(sig(112, 8, 0), Pad("3.2767", 8));
    EXPECT_EQ(sig(120, 8, 0), Pad("-32768", 8));
    EXPECT_EQ(sig(128, 8, 0), Pad("32767", 8));
    EXPECT_EQ(sig(136, 80, 0), Pad("", 80));
    EXPECT_EQ(sig(216, 8, 0), Pad("500", 8));
    EXPECT_EQ(sig(224, 32, 0), Pad("", 32));
    ASSERT_GE(n, 2u);
    int64_t recordBytes = 500 * 2;
    std::vector<int64_t> annotationBytes;
    for (size_t i = 1; i < n; ++i) {
        EXPECT_EQ(sig(0, 16, i), "EDF Annotations ") << i;
        EXPECT_EQ(sig(16, 80, i), Pad("", 80));
        EXPECT_EQ(sig(96, 8, i), Pad("", 8));
        double pmin = 0, pmax = 0, spr = 0;
        EXPECT_TRUE(NumberField(sig(104, 8, i), pmin) && NumberField(sig(112, 8, i), pmax));
        EXPECT_NE(pmin, pmax);
        EXPECT_EQ(sig(120, 8, i), Pad("-32768", 8));
        EXPECT_EQ(sig(128, 8, i), Pad("32767", 8));
        EXPECT_EQ(sig(136, 80, i), Pad("", 80));
        ASSERT_TRUE(NumberField(sig(216, 8, i), spr) && spr >= 1);
        EXPECT_EQ(sig(224, 32, i), Pad("", 32));
        annotationBytes.push_back(int64_t(spr) * 2);
        recordBytes += int64_t(spr) * 2;
    }
    ASSERT_EQ(int64_t(f.size()), int64_t(hb) + 10 * recordBytes);

    // Data records: the record's codes unchanged from sample 2625 (5.25 s) on, then the TALs.
    std::vector<std::pair<double, std::string>> annotations;
    for (int r = 0; r < 10; ++r) {
        const size_t at = hb + size_t(r * recordBytes);
        for (int i = 0; i < 500; ++i) {
            const int16_t v = int16_t(uint8_t(f[at + 2 * i]) | uint8_t(f[at + 2 * i + 1]) << 8);
            ASSERT_EQ(v, TestCode(2625 + 500 * r + i)) << "record " << r << " sample " << i;
        }
        size_t a = at + 1000;
        for (size_t s = 0; s < annotationBytes.size(); ++s) {
            std::string error;
            const std::vector<Tal> tals = SplitTals(f.substr(a, size_t(annotationBytes[s])), error);
            EXPECT_EQ(error, "") << "record " << r;
            a += size_t(annotationBytes[s]);
            for (size_t t = 0; t < tals.size(); ++t) {
                size_t k = 0;
                if (s == 0 && t == 0) { // time keeping: the record's start, an empty annotation
                    ASSERT_FALSE(tals[0].texts.empty());
                    EXPECT_EQ(tals[0].texts[0], "");
                    EXPECT_NEAR(tals[0].onset, 0.25 + r, 1e-9);
                    k = 1;
                }
                for (; k < tals[t].texts.size(); ++k)
                    annotations.emplace_back(tals[t].onset, tals[t].texts[k]);
            }
        }
    }
    std::sort(annotations.begin(), annotations.end());
    std::vector<std::pair<double, std::string>> expected;
    for (int k = 0; 0.4 + 0.8 * k < 20; ++k) {
        const double t = 0.4 + 0.8 * k;
        if (t >= 5.25 && t < 15.25) expected.emplace_back(t - 5, k % 2 ? "HR 80.50" : "HR 75.25");
    }
    ASSERT_EQ(annotations.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(annotations[i].first, expected[i].first, 1e-4) << i;
        EXPECT_EQ(annotations[i].second, expected[i].second) << i;
    }
}

TEST_F(EdfTest, RoundTripKeepsSamplesBeatsAndPatient) {
    struct Case {
        const char* name;
        double period, seconds, from, to;
    };
    const Case cases[] = {
        {"live 500 Hz", 0.002, 40, 4.999, 33},
        {"imported 100 Hz", 0.01, 40, 3, 37.5},
        {"subsecond start", 0.01, 40, 7.255, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string rec = Record("a.pwv", TestPlan(c.period, c.seconds));
        const std::string edf = m_dir.File("a.edf"), back = m_dir.File("back.pwv");
        const EdfExportResult e = Export(rec, edf, c.from, c.to);
        ASSERT_TRUE(e.ok) << e.reason;
        const EdfImportResult i = Import(edf, back);
        ASSERT_TRUE(i.ok) << i.reason;
        EXPECT_FALSE(i.rescaled);
        EXPECT_TRUE(i.beatsFromAnnotations);
        EXPECT_EQ(i.label, "Pleth");
        EXPECT_EQ(i.type, "EDF+C");
        EXPECT_EQ(i.sourceSamples, e.samples);

        const edftest::RecordContent original = edftest::ReadRecord(rec);
        const edftest::RecordContent imported = edftest::ReadRecord(back);
        EXPECT_EQ(imported.periodMs, 10);
        // Every 10 ms from the first exported sample while before the last one.
        const int64_t ratio = std::llround(0.01 / c.period);
        const int64_t j0 = std::llround(e.firstTime / c.period);
        int64_t outputs = 0;
        while (double(outputs) * 0.01 < double(e.samples - 1) * c.period) ++outputs;
        ASSERT_EQ(int64_t(imported.codes.size()), outputs);
        for (int64_t k = 0; k < outputs; ++k)
            ASSERT_EQ(imported.codes[size_t(k)], original.codes[size_t(j0 + ratio * k)]) << "sample " << k;

        // Heart-rate entries of the exported span, shifted to its first sample.
        const int64_t firstMs = std::llround(e.firstTime * 1000);
        const int64_t endMs = firstMs + std::llround(double(e.samples - 1) * c.period * 1000);
        std::vector<std::pair<uint32_t, uint16_t>> expectedBeats;
        for (const auto& [ms, hr] : original.beats)
            if (ms >= firstMs && ms <= endMs) expectedBeats.emplace_back(uint32_t(ms - firstMs), hr);
        EXPECT_EQ(imported.beats, expectedBeats);

        EXPECT_EQ(edftest::MetaValue(imported, "PatName"), "Ivanov Ivan");
        EXPECT_EQ(edftest::MetaValue(imported, "PatSex"), "F");
        EXPECT_EQ(edftest::MetaValue(imported, "PatBirthDate"), "1981-05-02");
        EXPECT_EQ(edftest::MetaValue(imported, "PatAge"), "42");
        EXPECT_EQ(edftest::MetaValue(imported, "PatHeight"), "175");
        EXPECT_EQ(edftest::MetaValue(imported, "PatWeight"), "70");
        EXPECT_EQ(edftest::MetaValue(imported, "PatPressure"), "120/80");
        EXPECT_EQ(edftest::MetaValue(imported, "RecordStartT"),
                  std::to_string(1700000000 + int64_t(std::floor(e.firstTime + 1e-9))));

        // And out again: the same patient field.
        const std::string edf2 = m_dir.File("again.edf");
        PGFiles r2;
        ASSERT_TRUE(r2.Open(MString(std::string_view(back)), PGFiles::OpenMode::ReadOnly));
        const EdfExportResult e2 = WriteEdfExport(MString(std::string_view(edf2)), 0, 1e9, r2);
        ASSERT_TRUE(e2.ok) << e2.reason;
        EXPECT_EQ(apptest::ReadFile(edf2).substr(8, 80), apptest::ReadFile(edf).substr(8, 80));
    }
}

TEST_F(EdfTest, FilesFromElsewhere) {
    // A plain EDF with a 72-per-minute pulse, beats found. Values outside the record's range, or
    // finer than its step of 0.0001, are rescaled to 0 ... 1; others are kept.
    struct Plain {
        const char *dimension, *physicalMin, *physicalMax, *digitalMin, *digitalMax;
        bool rescaled;
    };
    const Plain plains[] = {
        {"uV", "-3000", "3000", "-32768", "32767", true},
        {"V", "-0.001", "0.001", "-32768", "32767", true}, // within the range, 3e-8 a step
        {"mV", "-3", "3", "-20000", "20000", false},       // 1.5e-4 a step
    };
    for (const Plain& p : plains) {
        SCOPED_TRACE(std::string(p.physicalMin) + " ... " + p.physicalMax + " " + p.dimension);
        EdfPlan s;
        s.patient = "Patient 7 anonymous";
        s.date = "15.11.99";
        s.records = 30;
        s.signals[0].dimension = p.dimension;
        s.signals[0].physicalMin = p.physicalMin;
        s.signals[0].physicalMax = p.physicalMax;
        s.signals[0].digitalMin = p.digitalMin;
        s.signals[0].digitalMax = p.digitalMax;
        s.signals[0].code = [](int64_t k) {
            return int64_t(std::lround(apptest::PulseValue(k * 0.01, 72) * 20));
        };
        const EdfImportResult r = Import(Write("plain.edf", BuildEdf(s)), m_dir.File("plain.pwv"));
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_EQ(r.type, "EDF");
        EXPECT_EQ(r.rescaled, p.rescaled);
        EXPECT_FALSE(r.beatsFromAnnotations);
        EXPECT_NEAR(double(r.beats), 29.99 * 72 / 60, 4);
        const edftest::RecordContent c = edftest::ReadRecord(m_dir.File("plain.pwv"));
        EXPECT_EQ(edftest::MetaValue(c, "PatName"), "Patient 7 anonymous");
        EXPECT_EQ(edftest::MetaValue(c, "RecordStartT"), "942617600"); // 1999-11-15 01:13:20 at UTC+3
        // The physical value is linear in the code: rescaled over the extremes it is the code's
        // position between the smallest and the largest code; kept, it is code x step (the
        // ranges are symmetric).
        int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (int64_t k = 0; k < 3000; ++k) {
            lo = std::min(lo, s.signals[0].code(k));
            hi = std::max(hi, s.signals[0].code(k));
        }
        const double step =
            2 * std::atof(p.physicalMax) / (std::atof(p.digitalMax) - std::atof(p.digitalMin));
        ASSERT_EQ(c.codes.size(), 2999u);
        for (size_t k = 0; k < c.codes.size(); ++k) {
            const double code = double(s.signals[0].code(int64_t(k)));
            ASSERT_NEAR(c.codes[k],
                        p.rescaled ? 10000.0 * (code - lo) / double(hi - lo) : code * step * 10000, 0.5001)
                << k;
        }
    }
    // BDF: 24-bit samples at 200 Hz, every second one lands on the 100 Hz grid.
    {
        EdfPlan s;
        s.bdf = true;
        s.records = 8;
        s.signals[0].samplesPerRecord = 200;
        s.signals[0].digitalMin = "-8388608";
        s.signals[0].digitalMax = "8388607";
        s.signals[0].physicalMin = "-8388608";
        s.signals[0].physicalMax = "8388607";
        s.signals[0].code = [](int64_t k) { return (k % 400) * 40000 - 8000000; };
        const EdfImportResult r = Import(Write("b.bdf", BuildEdf(s)), m_dir.File("b.pwv"));
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_EQ(r.type, "BDF");
        EXPECT_TRUE(r.rescaled);
        const edftest::RecordContent c = edftest::ReadRecord(m_dir.File("b.pwv"));
        const int64_t lo = -8000000, hi = 399 * 40000 - 8000000;
        ASSERT_EQ(c.codes.size(), 800u); // t < 1599 x 5 ms
        for (size_t k = 0; k < c.codes.size(); ++k)
            ASSERT_NEAR(c.codes[k],
                        10000.0 * double(s.signals[0].code(int64_t(2 * k)) - lo) / double(hi - lo), 0.5001)
                << k;
    }
    // EDF+ with two signals, a subsecond start, heart rates and another annotation; the format's example patient.
    {
        EdfPlan s;
        s.reserved = "EDF+C";
        s.patient = "MCH-0234567 M 02-MAY-1951 Haagse_Harry";
        s.recording = "Startdate 15-NOV-2023 X X X";
        s.records = 12;
        s.start = 0.25;
        SignalPlan resp;
        resp.label = "Resp";
        resp.samplesPerRecord = 10;
        SignalPlan ppg;
        ppg.label = "PPG";
        ppg.code = [](int64_t k) { return k * 2; }; // 0.0002 per 10 ms
        s.signals = {resp, ppg, AnnotationSignal()};
        s.annotations = {
            {0.25, "Recording starts"}, {1.25, "HR 61.5"}, {2.45, "HR=62 bpm"}, {9.75, "hr: 63.25"}};
        const std::string edf = Write("plus.edf", BuildEdf(s));
        const EdfImportResult r = Import(edf, m_dir.File("plus.pwv"), "ppg");
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_EQ(r.label, "PPG");
        EXPECT_EQ(r.labels, (std::vector<std::string>{"Resp", "PPG"}));
        EXPECT_FALSE(r.rescaled);
        EXPECT_TRUE(r.beatsFromAnnotations);
        EXPECT_EQ(r.otherAnnotations, 1);
        const edftest::RecordContent c = edftest::ReadRecord(m_dir.File("plus.pwv"));
        // Onsets count from the header's second; the record from the first sample, 0.25 s later.
        EXPECT_EQ(c.beats,
                  (std::vector<std::pair<uint32_t, uint16_t>>{{1000, 6150}, {2200, 6200}, {9500, 6325}}));
        ASSERT_EQ(c.codes.size(), 1199u);
        for (size_t k = 0; k < c.codes.size(); ++k) ASSERT_EQ(c.codes[k], int(2 * k)) << k;
        EXPECT_EQ(edftest::MetaValue(c, "PatCode"), "MCH-0234567");
        EXPECT_EQ(edftest::MetaValue(c, "PatSex"), "M");
        EXPECT_EQ(edftest::MetaValue(c, "PatBirthDate"), "1951-05-02");
        EXPECT_EQ(edftest::MetaValue(c, "PatName"), "Haagse Harry");
        EXPECT_EQ(edftest::MetaValue(c, "PatAge"), "72");
        EXPECT_EQ(edftest::MetaValue(c, "RecordStartT"), "1700000000");
        EXPECT_EQ(Import(edf, m_dir.File("resp.pwv")).label, "Resp"); // the first signal by default
    }
    // 333.3 Hz (100 samples in 0.3 s records): a ramp of one code per sample is interpolated.
    {
        EdfPlan s;
        s.duration = "0.3";
        s.records = 30;
        s.signals[0].code = [](int64_t k) { return k; };
        const EdfImportResult r = Import(Write("r.edf", BuildEdf(s)), m_dir.File("r.pwv"));
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_NEAR(r.rate, 1000.0 / 3, 1e-9);
        const edftest::RecordContent c = edftest::ReadRecord(m_dir.File("r.pwv"));
        ASSERT_EQ(c.codes.size(), 900u); // t < 2999 x 0.003 s
        for (size_t k = 0; k < c.codes.size(); ++k)
            ASSERT_NEAR(c.codes[k], double(k) * 0.01 / 0.003, 0.5001) << k;
    }
}

TEST_F(EdfTest, DamagedFilesFailCleanly) {
    // A sound EDF+ file: 10 records of 1 s, 100 Hz and an annotation signal.
    auto sound = [] {
        EdfPlan s;
        s.reserved = "EDF+C";
        s.signals[0].code = [](int64_t k) { return k % 100; };
        s.signals.push_back(AnnotationSignal());
        s.annotations = {{2.5, "HR 70"}};
        return s;
    };
    const std::string good = BuildEdf(sound());
    auto with = [&](size_t at, const std::string& text) {
        return good.substr(0, at) + text + good.substr(at + text.size());
    };
    // Signal fields of the two-signal header.
    auto sigField = [](size_t before, size_t i, size_t width) { return 256 + 2 * before + i * width; };
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"empty", "", "shorter than an EDF header"},
        {"cut in the fixed header", good.substr(0, 100), "shorter than an EDF header"},
        {"cut in the signal headers", good.substr(0, 600), "ends inside its header"},
        {"cut in the data records", good.substr(0, good.size() - 3), "truncated"},
        {"bytes after the records", good + "xyz", "bytes after the data records"},
        {"version", with(0, "1"), "not an EDF or BDF file"},
        {"header size", with(184, "512     "), "header size field"},
        {"no signals", with(252, "0   "), "number of signals"},
        {"signals not a number", with(252, "ab  "), "number of signals"},
        {"9999 signals", with(252, "9999"), "at most 640"},
        {"records -1", with(236, "-1      "), "unknown (-1)"},
        {"no records", with(236, "0       "), "no data record"},
        {"99999999 records", with(236, "99999999"), "truncated"},
        {"duration text", with(244, "abc     "), "duration"},
        {"negative duration", with(244, "-1      "), "duration"},
        {"zero duration", with(244, "0       "), "duration is 0"},
        {"99999999 samples per record", with(sigField(216, 0, 8), "99999999"), "at most 10485760"},
        {"no samples per record", with(sigField(216, 0, 8), "0       "), "samples per data record"},
        {"records beyond the limit together",
         with(sigField(216, 0, 8), "3000000 ").substr(0, sigField(216, 1, 8)) + "3000000 " +
             good.substr(sigField(216, 1, 8) + 8),
         "at most 10485760"},
        {"digital min = max", with(sigField(120, 0, 8), "32767   "), "digital range"},
        {"digital beyond 16 bits", with(sigField(128, 0, 8), "40000   "), "digital range"},
        {"physical min = max", with(sigField(104, 0, 8), "3.2767  "), "are equal"},
        {"physical not a number", with(sigField(112, 0, 8), "x       "), "not a number"},
        {"byte beyond ASCII", with(20, "\xE9"), "not printable ASCII"},
        {"bad start date", with(168, "32.13.23"), "start date"},
        {"bad start time", with(176, "25.00.00"), "start time"},
        {"discontinuous", with(192, "EDF+D"), "with gaps"},
        {"patient without subfields", with(8, Pad("Ivanov", 80)), "lacks the subfields"},
        {"recording without Startdate", with(88, Pad("Recorded X X X X", 80)), "Startdate"},
        {"BDF marker without BIOSEMI",
         with(0, "\xFF"
                 "BIOSEMX"),
         "not an EDF or BDF file"},
    };
    {
        EdfPlan s = sound();
        s.signals.pop_back();
        cases.push_back({"EDF+ without annotation signal", BuildEdf(s), "without an annotation signal"});
        s = sound();
        s.timeKeeping = [](int r) { return std::to_string(r == 4 ? 7 : r); };
        cases.push_back({"time keeping jumps", BuildEdf(s), "not continuous: data record 5"});
        s = sound();
        s.timeKeeping = [](int r) { return r == 2 ? std::string("1x") : std::to_string(r); };
        cases.push_back({"malformed onset", BuildEdf(s), "data record 3: an annotation onset"});
        std::string noZero = BuildEdf(sound());
        const size_t tal = 768 + 200; // the first record's annotation signal
        noZero.replace(tal, 120, std::string(120, 'a'));
        noZero[tal] = '+';
        noZero[tal + 1] = '0';
        noZero[tal + 2] = '\x14';
        cases.push_back({"annotation list not closed", noZero, "data record 1: an annotation"});
        s = sound();
        s.signals[0].samplesPerRecord = 2;
        s.records = 30;
        cases.push_back({"2 Hz", BuildEdf(s), "sampled at 2 Hz"});
        s = sound();
        s.records = 5;
        cases.push_back({"5 s", BuildEdf(s), "more than 5 s are needed"});
        s = sound();
        s.signals = {AnnotationSignal()};
        s.annotations.clear();
        s.duration = "0";
        cases.push_back({"annotations only", BuildEdf(s), "annotations only"});
        EdfPlan flat;
        flat.signals[0].physicalMax = "5000";
        flat.signals[0].code = [](int64_t) { return 7; };
        cases.push_back({"flat signal to rescale", BuildEdf(flat), "flat"});
        flat.signals[0].physicalMax = "3.2767";
        cases.push_back({"flat signal to keep", BuildEdf(flat), "flat"});
    }

    const std::string target = m_dir.File("out.pwv");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apptest::WriteFile(target, "keep");
        const EdfImportResult r = Import(Write("damaged.edf", c.bytes), target);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(Contains(r.reason, c.reason)) << r.reason;
        EXPECT_EQ(apptest::ReadFile(target), "keep");
        EXPECT_EQ(apptest::ListFolder(m_dir.Path()), (std::vector<std::string>{"damaged.edf", "out.pwv"}));
    }
    // Longer than a record's millisecond times hold (2^32 ms, 49.7 days): 43 records of 100000 s
    // at 6 Hz, written sparse.
    {
        EdfPlan s;
        s.records = 0;
        s.recordsField = "43";
        s.duration = "100000";
        s.signals[0].samplesPerRecord = 600000;
        const std::string path = Write("long.edf", BuildEdf(s));
        ASSERT_EQ(::truncate(path.c_str(), 512 + 43 * 1'200'000), 0);
        apptest::WriteFile(target, "keep");
        const EdfImportResult r = Import(path, target);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(Contains(r.reason, "lasts 4299999.8")) << r.reason;
        EXPECT_TRUE(Contains(r.reason, "a record holds at most 4294967 s")) << r.reason;
        EXPECT_EQ(apptest::ReadFile(target), "keep");
        EXPECT_EQ(apptest::ListFolder(m_dir.Path()),
                  (std::vector<std::string>{"damaged.edf", "long.edf", "out.pwv"}));
    }
    // The sound file itself imports; a signal that is not there names those that are.
    EXPECT_TRUE(Import(Write("good.edf", good), m_dir.File("good.pwv")).ok);
    const EdfImportResult r = Import(m_dir.File("good.edf"), m_dir.File("x.pwv"), "ECG");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(Contains(r.reason, "has no signal 'ECG'; its signals are 'Pleth'")) << r.reason;
    EXPECT_FALSE(apptest::Exists(m_dir.File("x.pwv")));
}

TEST_F(EdfTest, ExportRefusesWhatEdfCannotHold) {
    // Beats every 10 ms: more than 64 annotation signals of 1 s records can hold.
    apptest::RecordPlan plan = TestPlan(0.01, 20);
    plan.beats.clear();
    for (int k = 0; k < 2000; ++k) plan.beats.push_back({k * 0.01, 300});
    const std::string rec = Record("dense.pwv", plan);
    const std::string out = m_dir.File("dense.edf");
    apptest::WriteFile(out, "keep");
    EdfExportResult r = Export(rec, out, 3, 15);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(Contains(r.reason, "heart-rate entries are more than")) << r.reason;
    // A fragment shorter than a data record.
    r = Export(rec, out, 10, 10.5);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(Contains(r.reason, "shorter than one EDF data record")) << r.reason;
    EXPECT_EQ(apptest::ReadFile(out), "keep");
    EXPECT_EQ(apptest::ListFolder(m_dir.Path()), (std::vector<std::string>{"dense.edf", "dense.pwv"}));
    // Without a start mark the anonymous start; no patient data: every subfield unknown.
    plan = TestPlan(0.01, 20);
    plan.metadata.clear();
    const std::string bare = Record("bare.pwv", plan);
    r = Export(bare, out, 3, 15);
    ASSERT_TRUE(r.ok) << r.reason;
    const std::string f = apptest::ReadFile(out);
    EXPECT_EQ(f.substr(8, 80), Pad("X X X X", 80));
    EXPECT_EQ(f.substr(88, 80), Pad("Startdate 01-JAN-1985 X X X", 80));
    EXPECT_EQ(f.substr(168, 16), "01.01.8500.00.00");
    const EdfImportResult back = Import(out, m_dir.File("bare2.pwv"));
    ASSERT_TRUE(back.ok) << back.reason;
    EXPECT_EQ(edftest::ReadRecord(m_dir.File("bare2.pwv")).metadata.size(), 0u);
}

TEST_F(EdfTest, StartFromTheStartMark) {
    // The header's start is "RecordStartT" + the fragment start (4 s) in local time (UTC+3); EDF
    // dates run from 1985 to 2084, anything else or a mark that is no number of seconds gives the
    // anonymous start 01.01.85 00.00.00, and the import then sets no start mark.
    struct Case {
        const char* mark;
        const char* date;
        const char* time;
        const char* startdate;
        const char* back; // "RecordStartT" of the imported record, nullptr: none
    };
    const Case cases[] = {
        {"1700000000", "15.11.23", "01.13.24", "15-NOV-2023", "1700000004"},
        {" 1700000000 ", "15.11.23", "01.13.24", "15-NOV-2023", "1700000004"},
        {"2240611200", "01.01.41", "03.00.04", "01-JAN-2041", "2240611204"}, // beyond 32 bits
        {"3629134795", "31.12.84", "23.59.59", "31-DEC-2084", "3629134799"}, // the last EDF second
        {"3629134796", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},      // 2085
        {"400000000", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},       // 1982
        {"-5", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},
        {"abc", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},
        {"1e9", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},
        {"99999999999999999999", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},
        {"", "01.01.85", "00.00.00", "01-JAN-1985", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("RecordStartT '") + c.mark + "'");
        apptest::RecordPlan plan = TestPlan(0.01, 20);
        plan.metadata = {{"RecordStartT", c.mark}};
        const std::string rec = Record("mark.pwv", plan), out = m_dir.File("mark.edf");
        const EdfExportResult r = Export(rec, out, 4, 15);
        ASSERT_TRUE(r.ok) << r.reason;
        ASSERT_NEAR(r.firstTime, 4.0, 1e-9);
        const std::string f = apptest::ReadFile(out);
        EXPECT_EQ(f.substr(168, 8), c.date);
        EXPECT_EQ(f.substr(176, 8), c.time);
        EXPECT_EQ(f.substr(88, 21), std::string("Startdate ") + c.startdate);
        const std::string back = m_dir.File("mark-back.pwv");
        ASSERT_TRUE(Import(out, back).ok);
        EXPECT_EQ(edftest::MetaValue(edftest::ReadRecord(back), "RecordStartT"),
                  c.back ? c.back : "<absent>");
    }
}

TEST(EdfRules, DataRecordLayout) {
    struct Case {
        int periodMs, samples, durationMs;
    };
    // Whole samples in the fewest whole seconds; else about one second's worth within 60 s.
    const Case cases[] = {{2, 500, 1000},  {10, 100, 1000}, {1, 1000, 1000}, {3, 1000, 3000},
                          {16, 125, 2000}, {7, 1000, 7000}, {999, 1, 999},   {40000, 1, 40000},
                          {0, 0, 0},       {60001, 0, 0}};
    for (const Case& c : cases) {
        const EdfRecordLayout l = EdfLayoutForPeriod(c.periodMs);
        EXPECT_EQ(l.samples, c.samples) << c.periodMs;
        EXPECT_EQ(l.durationMs, c.durationMs) << c.periodMs;
        if (l.samples) {
            EXPECT_EQ(int64_t(l.samples) * c.periodMs, l.durationMs) << c.periodMs;
        }
    }
}

TEST(EdfRules, HeaderText) {
    const std::pair<std::u16string, std::string> ascii[] = {
        {u"Иванов Иван", "Ivanov Ivan"}, {u"Жуков", "Zhukov"},        {u"ЩУКИН", "SHCHUKIN"},
        {u"Пётр Ильич", "Petr Ilich"},   {u"Юлия", "Iuliia"},         {u"Müller", "M?ller"},
        {u"a\tb\nc", "a b c"},           {u"120/80 мм", "120/80 mm"}, {u"\U0001F600", "?"},
    };
    for (const auto& [in, out] : ascii) EXPECT_EQ(EdfAscii(MString(in)), out);

    // Patient subfields within 80 characters: the last extra subfields are left out first.
    MAssocStrings m;
    m.Value(MString(u"PatName")) = MString(std::string(60, 'n'));
    m.Value(MString(u"PatAge")) = MString(u"42");
    m.Value(MString(u"PatHeight")) = MString(u"175");
    EdfPatientFields p = EdfPatientFromMetadata(m);
    EXPECT_EQ(p.additional, "Age=42");
    EXPECT_EQ(p.leftOut, (std::vector<std::string>{"Height_cm=175"}));
    m.Value(MString(u"PatName")) = MString(std::string(100, 'n'));
    p = EdfPatientFromMetadata(m);
    EXPECT_EQ(p.additional, "");
    EXPECT_EQ(6 + p.name.size(), 80u);                          // "X X X " and the name cut to fit
    m.Value(MString(u"PatBirthDate")) = MString(u"1981-02-29"); // no such day
    m.Value(MString(u"PatSex")) = MString(u"ж");
    p = EdfPatientFromMetadata(m);
    EXPECT_EQ(p.birthYear, 0);
    EXPECT_EQ(p.sex, "F");
}

TEST(EdfRules, HeartRateAnnotations) {
    EXPECT_EQ(EdfHeartRateText(72.5), "HR 72.50");
    const std::pair<const char*, double> good[] = {{"HR 72.50", 72.5},
                                                   {"HR=72.5 bpm", 72.5},
                                                   {"hr: 72", 72},
                                                   {" HR 61,5 /min ", 61.5},
                                                   {"HR 655.34", 655.34}};
    for (const auto& [text, hr] : good) {
        double v = 0;
        EXPECT_TRUE(ParseEdfHeartRateText(text, v)) << text;
        EXPECT_DOUBLE_EQ(v, hr) << text;
    }
    for (const char* text :
         {"HR", "HR 0", "HR 655.35", "HR 72 mmHg", "HRV 50", "SpO2 97", "HR -5", "HR 7x2", ""}) {
        double v = 0;
        EXPECT_FALSE(ParseEdfHeartRateText(text, v)) << text;
    }
}

TEST(EdfRules, OnsetsAndAnnotationLists) {
    const std::pair<const char*, int64_t> seconds[] = {
        {"+0", 0},         {"-1.5", -15'000'000}, {"12.3456789", 123'456'789},
        {"0.00000009", 0}, {".5", 5'000'000},     {"3.", 30'000'000}};
    for (const auto& [text, ticks] : seconds) {
        int64_t t = -1;
        EXPECT_TRUE(ParseEdfSeconds(text, t)) << text;
        EXPECT_EQ(t, ticks) << text;
    }
    for (const char* text : {"", "+", ".", "1e3", "1.2.3", "123456789012", " 1"}) {
        int64_t t = 0;
        EXPECT_FALSE(ParseEdfSeconds(text, t)) << text;
    }

    struct Case {
        std::string bytes;
        bool timeKeeping, ok;
        int64_t start;
        std::string annotations; // "onset/duration:text;" as passed on
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"+0\x14\x14\0\0\0"s, true, true, 0, ""},
        {"+1.5\x14\x14Start\x14\0+2\x15"
         "0.5\x14"
         "A\x14"
         "B\x14\0\0"s,
         true, true, 15'000'000, "15000000/-1:Start;20000000/5000000:A;20000000/5000000:B;"},
        {"+3\x14\x14\0"s, false, true, -7, ""}, // not the first signal: an empty annotation, passed over
        {"\0\0\0"s, false, true, -7, ""},
        {"\0\0\0"s, true, false, 0, ""}, // no time keeping
        {"+0\x14"
         "A\x14\0"s,
         true, false, 0, ""},                 // first annotation not empty
        {"0\x14\x14\0"s, true, false, 0, ""}, // no sign
        {"+0\x14\x14"s, true, false, 0, ""},  // no closing zero
        {"+0\x14\x14\0+1\x14"
         "A"s,
         true, false, 0, ""},                         // text not closed
        {"+0\x15\x14\x14\0"s, true, false, 0, ""},    // empty duration
        {"+0\x14\x14\0garbage"s, true, false, 0, ""}, // second TAL without a sign
    };
    for (const Case& c : cases) {
        int64_t start = -7;
        std::string seen, reason;
        const bool ok = ParseEdfTals(
            c.bytes, c.timeKeeping, start,
            [&](int64_t onset, int64_t duration, std::string_view text) {
                seen +=
                    std::to_string(onset) + "/" + std::to_string(duration) + ":" + std::string(text) + ";";
            },
            reason);
        EXPECT_EQ(ok, c.ok) << reason;
        if (!ok) continue;
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(seen, c.annotations);
    }
}

} // namespace
