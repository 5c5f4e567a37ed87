#include "analysis/PulseIndexes.h"
#include "storage/MAssocStrings.h"

#include "tests/analysis/AnalysisTestUtil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

using atest::HasRow;
using atest::Val;

namespace {

struct Wave {
    double t[5];
    double a[5];
};

// Foot, systolic peak, incisura, dicrotic peak, next foot.
const Wave kWave = {{0.000, 0.150, 0.350, 0.420, 0.900}, {0.10, 0.90, 0.55, 0.61, 0.12}};

void Place(PulseIndexes& p, const Wave& w) {
    for (int k = 0; k < 5; ++k) p.SetMarker(k, w.t[k], w.a[k]);
}

MString Text(const MVarArray& table, const char16_t* name) {
    return Val(table, name).AsString();
}

} // namespace

TEST(FormatFixed3, ThreeSignificantDigitsThreeDecimals) {
    struct Case {
        double v;
        char16_t sep;
        const char16_t* text;
    };
    const Case cases[] = {
        {0.8125, u',', u"0,813"},    {1.2345, u',', u"1,230"},   {12.345, u',', u"12,300"},
        {66.6667, u',', u"66,700"},  {0.9, u'.', u"0.900"},      {0.15, u'.', u"0.150"},
        {0, u',', u"0,000"},         {-0.8125, u',', u"-0,813"}, {-0.00004, u',', u"0,000"},
        {0.0012345, u'.', u"0.001"}, {999.6, u'.', u"1000.000"}, {1234.5, u',', u"1230,000"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatFixed3(c.v, c.sep).Str(), std::u16string(c.text)) << c.v;
    EXPECT_FALSE(FormatFixed3(std::nan(""), u',').IsEmpty());
}

TEST(PulseIndexes, TableOfAnOrderedWave) {
    PulseIndexes p;
    p.SetDecimalSeparator(u',');
    Place(p, kWave);
    p.ComputePulseIndexes(1.70);
    const MVarArray& t = p.Table();

    struct Row {
        const char16_t* name;
        const char16_t* lim;
        const char16_t* des;
    };
    const Row rows[] = {
        {u"ИЖ, м/с", u"5–9", u"Индекс жесткости"},
        {u"ИО, (B4-B5)/(B2-B1)*100%", u"40–70", u"Индекс отражения"},
        {u"АПВ=В2-В1, о.е.", u"-", u"Амплитуда пульсовой волны (амплитуда анакротической фазы)"},
        {u"АДВ=В4-В5, о.е.", u"АПВ/2", u"Амплитуда дикротической волны"},
        {u"ВИ=В3-В5, о.е.", u"(2/3)*АПВ", u"Высота инцизуры"},
        {u"ИДВ=(В3-В5)/(В2-В1)*100%", u"50-75", u"Индекс дикротической волны"},
        {u"ДАФ=В3-В1, c", u"-", u"Длительность анакротической фазы пульсовой волны"},
        {u"ДДФ=В5-В4, c", u"-", u"Длительность дикротической фазы пульсовой волны"},
        {u"ДФИ=В5-В3, c", u"-", u"Длительность фазы изгнания"},
        {u"ДПВ=В5-В1, c", u"0,7–1,1", u"Длительность пульсовой волны"},
        {u"ИВВ=(В2-В1)/(В5-В1)*100%", u"15-30", u"Индекс восходящей волны"},
        {u"ВН=В2-В1, c", u"0.06-0.2", u"Время наполнения"},
        {u"ДС=В4-В1, c", u"0,35-0,55", u"Продолжительность систолической фазы сердечного цикла"},
        {u"ДД=В5-В4, c", u"0,4-0,6", u"Продолжительность диастолической фазы сердечного цикла"},
        {u"ВОВ=В4-В2, c", u"0,2–0,4", u"Время отражения пульсовой волны"},
        {u"ЧСС=60/ДПВ, уд/мин", u"55–85", u"Частота сердечных сокращений"},
        {u"B1(t;a)", u"-", u"Начало сердечного цикла"},
        {u"B2(t;a)", u"-", u"Момент максимального расширения сосуда в фазу изгнания"},
        {u"B3(t;a)", u"-", u"Точка, которая соответствует протодиастолическому периоду"},
        {u"B4(t;a)", u"-", u"Начало диастолы"},
        {u"B5(t;a)", u"-", u"Завершение сердечного цикла"},
    };
    ASSERT_EQ(t.Count(), int(std::size(rows)));
    for (const Row& r : rows) {
        const MVarArray* node = t.Find(MVariant(r.name));
        ASSERT_NE(node, nullptr) << MString(r.name).ToUtf8();
        EXPECT_EQ(ParamRowView(*node).Limit().Str(), std::u16string(r.lim)) << MString(r.name).ToUtf8();
        EXPECT_EQ(ParamRowView(*node).Description().Str(), std::u16string(r.des)) << MString(r.name).ToUtf8();
    }

    // Times: numbers (the fixed texts narrow to doubles).
    EXPECT_EQ(Val(t, u"ДПВ=В5-В1, c").GetType(), MVariant::kDouble);
    EXPECT_DOUBLE_EQ(Val(t, u"ДПВ=В5-В1, c").AsDouble(), 0.9);
    EXPECT_DOUBLE_EQ(Val(t, u"ВН=В2-В1, c").AsDouble(), 0.15);
    EXPECT_EQ(Val(t, u"ИВВ=(В2-В1)/(В5-В1)*100%").AsInt(), 16);
    EXPECT_DOUBLE_EQ(Val(t, u"ЧСС=60/ДПВ, уд/мин").AsDouble(), 66.7);
    EXPECT_DOUBLE_EQ(Val(t, u"ДД=В5-В4, c").AsDouble(), Val(t, u"ДДФ=В5-В4, c").AsDouble());
    EXPECT_DOUBLE_EQ(Val(t, u"ВОВ=В4-В2, c").AsDouble(), 0.27);
    // Amplitudes and indexes.
    EXPECT_DOUBLE_EQ(Val(t, u"АПВ=В2-В1, о.е.").AsDouble(), 0.8);
    EXPECT_DOUBLE_EQ(Val(t, u"АДВ=В4-В5, о.е.").AsDouble(), 0.49);
    EXPECT_EQ(Val(t, u"ИО, (B4-B5)/(B2-B1)*100%").AsInt(), 61); // 0.49 / 0.8
    EXPECT_EQ(Val(t, u"ИДВ=(В3-В5)/(В2-В1)*100%").AsInt(), 53); // 0.43 / 0.8
    EXPECT_EQ(Val(t, u"ИЖ, м/с").AsInt(), 6);                   // 1.70 m / 0.27 s
    // The point rows stay texts, in the locale's separator.
    EXPECT_EQ(Text(t, u"B1(t;a)").Str(), u"0; 0,100");
    EXPECT_EQ(Text(t, u"B2(t;a)").Str(), u"0,150; 0,900");
    EXPECT_EQ(Text(t, u"B5(t;a)").Str(), u"0,900; 0,120");
}

TEST(PulseIndexes, DecimalSeparatorIsAParameter) {
    PulseIndexes p;
    Place(p, kWave);
    p.SetDecimalSeparator(u'.');
    p.ComputePulseIndexes(0);
    EXPECT_EQ(Text(p.Table(), u"B3(t;a)").Str(), u"0.350; 0.550");
    EXPECT_DOUBLE_EQ(Val(p.Table(), u"ЧСС=60/ДПВ, уд/мин").AsDouble(), 66.7);
    // The default follows the user's numeric locale; in this process that resolves to a
    // single separator character.
    EXPECT_TRUE(PulseIndexes().DecimalSeparator() == u'.' || PulseIndexes().DecimalSeparator() == u',');
}

TEST(PulseIndexes, MarkersOutOfOrderGiveAnEmptyTable) {
    struct Case {
        const char* what;
        double t[5];
    };
    const Case cases[] = {
        {"all at 0 (the initial state)", {0, 0, 0, 0, 0}},
        {"two at the same time", {0, 0.15, 0.15, 0.42, 0.9}},
        {"B5 before B4", {0, 0.15, 0.35, 0.42, 0.40}},
        {"B1 after B2", {0.2, 0.15, 0.35, 0.42, 0.9}},
        {"a NaN time", {0, 0.15, std::nan(""), 0.42, 0.9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PulseIndexes p;
        Place(p, kWave);
        p.ComputePulseIndexes(1.7);
        ASSERT_GT(p.Table().Count(), 0);
        for (int k = 0; k < 5; ++k) p.SetMarker(k, c.t[k], 0.5);
        p.ComputePulseIndexes(1.7);
        EXPECT_EQ(p.Table().Count(), 0);
    }
    PulseIndexes p;
    Place(p, kWave);
    p.ClearMarkers();
    p.ComputePulseIndexes(1.7);
    EXPECT_EQ(p.Table().Count(), 0);
    EXPECT_EQ(p.Marker(3).t, 0);
}

TEST(PulseIndexes, EqualFootAndPeakLeaveOutTheAmplitudeIndexes) {
    PulseIndexes p;
    p.SetDecimalSeparator(u',');
    Wave w = kWave;
    w.a[1] = w.a[0];
    Place(p, w);
    p.ComputePulseIndexes(1.7);
    EXPECT_FALSE(HasRow(p.Table(), u"ИО, (B4-B5)/(B2-B1)*100%"));
    EXPECT_FALSE(HasRow(p.Table(), u"ИДВ=(В3-В5)/(В2-В1)*100%"));
    EXPECT_EQ(Val(p.Table(), u"АПВ=В2-В1, о.е.").AsDouble(), 0);
    EXPECT_TRUE(HasRow(p.Table(), u"ИВВ=(В2-В1)/(В5-В1)*100%"));
}

TEST(PulseIndexes, StiffnessIndexNeedsTheHeight) {
    struct Case {
        const char16_t* height; // metadata "PatHeight"; null = no entry
        const char16_t* value;  // "ИЖ, м/с" as text
    };
    const Case cases[] = {
        {u"170", u"6"},
        {u" 185 см", u"7"},
        {u"0", u"Рост пациента?"},
        {u"abc", u"Рост пациента?"},
        {nullptr, u"Рост пациента?"},
        {u"-170", u"Рост пациента?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(MString(c.value).ToUtf8());
        MAssocStrings meta;
        meta.Value(MString(u"PatName")) = MString(u"Иванов");
        if (c.height) meta.Value(MString(u"PatHeight")) = MString(c.height);
        const int entries = meta.Count();
        PulseIndexes p;
        Wave w = kWave;
        w.t[1] = 0.15;
        w.t[3] = 0.40; // B4 - B2 = 0.25 s
        Place(p, w);
        p.ComputePulseIndexes(meta);
        EXPECT_EQ(Text(p.Table(), u"ИЖ, м/с").Str(), std::u16string(c.value));
        EXPECT_EQ(meta.Count(), entries); // reading the height added nothing
    }
    EXPECT_DOUBLE_EQ(PatientHeightMetres(MAssocStrings()), 0);
}
