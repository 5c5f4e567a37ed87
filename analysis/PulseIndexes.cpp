#include "analysis/PulseIndexes.h"

#include "analysis/ParamTable.h"
#include "i18n/InterfaceTranslator.h"
#include "storage/MAssocStrings.h"

#include <charconv>
#include <cmath>
#include <memory>

namespace {

MString Tr(const char16_t* text) {
    return InterfaceTranslator::Instance()->Translate(MString(text));
}

} // namespace

MString FormatFixed3(double v, char16_t separator) {
    if (!std::isfinite(v)) return MString::FromDouble(v);
    double r = 0;
    if (v != 0) {
        // Three significant digits: scale the leading digit to the hundreds, round, scale back.
        const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(v))));
        const double scale = std::pow(10.0, 2 - exponent);
        r = std::round(v * scale) / scale;
        if (!std::isfinite(r)) r = v; // scale out of range for extreme magnitudes
    }
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, r, std::chars_format::fixed, 3);
    std::string_view text(buf, res.ec == std::errc() ? static_cast<size_t>(res.ptr - buf) : 0);
    if (text == "-0.000") text = "0.000";
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out += c == '.' ? separator : static_cast<char16_t>(c);
    return MString(std::move(out));
}

double PatientHeightMetres(const MAssocStrings& metadata) {
    const MString key(u"PatHeight");
    for (int i = 0; i < metadata.Count(); ++i)
        if (metadata.At(i).key.Equals(key)) return static_cast<double>(metadata.At(i).value.ToInt64()) * 0.01;
    return 0;
}

PulseIndexes::PulseIndexes() : m_separator(LocaleDecimalSeparator()) {}

void PulseIndexes::SetMarker(int k, double t, double a) {
    if (k >= 0 && k < kMarkerCount) m_markers[k] = {t, a};
}

sPulseMarker PulseIndexes::Marker(int k) const {
    return k >= 0 && k < kMarkerCount ? m_markers[k] : sPulseMarker{};
}

void PulseIndexes::ClearMarkers() {
    for (auto& m : m_markers) m = {};
}

void PulseIndexes::ComputePulseIndexes(const MAssocStrings& metadata) {
    ComputePulseIndexes(PatientHeightMetres(metadata));
}

void PulseIndexes::ComputePulseIndexes(double heightMetres) {
    m_table.Clear();
    // The markers must stand strictly left to right (a NaN time counts as out of order).
    for (int k = 0; k + 1 < kMarkerCount; ++k)
        if (!(m_markers[k].t < m_markers[k + 1].t)) return;

    const sPulseMarker& b1 = m_markers[0];
    const sPulseMarker& b2 = m_markers[1];
    const sPulseMarker& b3 = m_markers[2];
    const sPulseMarker& b4 = m_markers[3];
    const sPulseMarker& b5 = m_markers[4];
    const double apv = b2.a - b1.a;
    const double period = b5.t - b1.t;
    const char16_t sep = m_separator;
    auto fixed = [sep](double v) { return FormatFixed3(v, sep); };
    auto row = [this](const char16_t* name, const MVariant& value, const char16_t* limit,
                      const char16_t* des) {
        SetParamRow(m_table, Tr(name), value, MString(limit), MString(des));
    };
    auto i32 = [](double v) { return MVariant(TruncToInt32(v)); };
    auto point = [&fixed, &b1](const sPulseMarker& b) {
        return fixed(b.t - b1.t) + MString(u"; ") + fixed(b.a);
    };

    const double reflection = b4.t - b2.t;
    if (reflection > 0) {
        const MString stiffness = heightMetres > 0 ? MString::FromInt(TruncToInt32(heightMetres / reflection))
                                                   : MString(kAskHeight);
        row(u"ИЖ, м/с", MVariant(stiffness), u"5–9", u"Индекс жесткости");
    }
    if (apv > 0)
        row(u"ИО, (B4-B5)/(B2-B1)*100%", i32((b4.a - b5.a) / apv * 100), u"40–70", u"Индекс отражения");
    row(u"АПВ=В2-В1, о.е.", MVariant(fixed(apv)), u"-",
        u"Амплитуда пульсовой волны (амплитуда анакротической фазы)");
    row(u"АДВ=В4-В5, о.е.", MVariant(fixed(b4.a - b5.a)), u"АПВ/2", u"Амплитуда дикротической волны");
    row(u"ВИ=В3-В5, о.е.", MVariant(fixed(b3.a - b5.a)), u"(2/3)*АПВ", u"Высота инцизуры");
    if (apv > 0)
        row(u"ИДВ=(В3-В5)/(В2-В1)*100%", i32((b3.a - b5.a) / apv * 100), u"50-75",
            u"Индекс дикротической волны");
    row(u"ДАФ=В3-В1, c", MVariant(fixed(b3.t - b1.t)), u"-",
        u"Длительность анакротической фазы пульсовой волны");
    row(u"ДДФ=В5-В4, c", MVariant(fixed(b5.t - b4.t)), u"-",
        u"Длительность дикротической фазы пульсовой волны");
    row(u"ДФИ=В5-В3, c", MVariant(fixed(b5.t - b3.t)), u"-", u"Длительность фазы изгнания");
    row(u"ДПВ=В5-В1, c", MVariant(fixed(period)), u"0,7–1,1", u"Длительность пульсовой волны");
    if (period > 0)
        row(u"ИВВ=(В2-В1)/(В5-В1)*100%", i32((b2.t - b1.t) / period * 100), u"15-30",
            u"Индекс восходящей волны");
    row(u"ВН=В2-В1, c", MVariant(fixed(b2.t - b1.t)), u"0.06-0.2", u"Время наполнения");
    row(u"ДС=В4-В1, c", MVariant(fixed(b4.t - b1.t)), u"0,35-0,55",
        u"Продолжительность систолической фазы сердечного цикла");
    row(u"ДД=В5-В4, c", MVariant(fixed(b5.t - b4.t)), u"0,4-0,6",
        u"Продолжительность диастолической фазы сердечного цикла");
    row(u"ВОВ=В4-В2, c", MVariant(fixed(reflection)), u"0,2–0,4", u"Время отражения пульсовой волны");
    if (period > 0)
        row(u"ЧСС=60/ДПВ, уд/мин", MVariant(fixed(60 / period)), u"55–85", u"Частота сердечных сокращений");
    row(u"B1(t;a)", MVariant(MString(u"0; ") + fixed(b1.a)), u"-", u"Начало сердечного цикла");
    row(u"B2(t;a)", MVariant(point(b2)), u"-", u"Момент максимального расширения сосуда в фазу изгнания");
    row(u"B3(t;a)", MVariant(point(b3)), u"-", u"Точка, которая соответствует протодиастолическому периоду");
    row(u"B4(t;a)", MVariant(point(b4)), u"-", u"Начало диастолы");
    row(u"B5(t;a)", MVariant(point(b5)), u"-", u"Завершение сердечного цикла");
}

PulseIndexes* GetPulseIndexes(bool create) {
    static std::unique_ptr<PulseIndexes> instance;
    if (!instance && create) instance = std::make_unique<PulseIndexes>();
    return instance.get();
}
