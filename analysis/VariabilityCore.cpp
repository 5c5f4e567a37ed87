#include "analysis/VariabilityCore.h"

#include "analysis/ParamTable.h"
#include "i18n/InterfaceTranslator.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Width of one histogram bin, s.
constexpr double kBinWidth = 0.01;
// A distribution bound lies where the density falls to this fraction of its value at the mode.
constexpr double kBoundLevel = 0.02;
// Floors of HF and TP, s^2, so that the ratios stay finite.
constexpr double kPowerFloor = 1e-5;

MString Tr(const char16_t* text) {
    return InterfaceTranslator::Instance()->Translate(MString(text));
}

// Histogram bin of an RR interval (s); -1 outside the histogram.
inline int BinOf(double rr) {
    const double x = rr * 100.0 + 0.5;
    if (!(x >= 0.0) || x >= VariabilityCore::kHistogramBins) return -1;
    return static_cast<int>(x);
}

} // namespace

VariabilityCore::VariabilityCore() = default;

void VariabilityCore::Clear() {
    m_beats.clear();
    m_beats.shrink_to_fit();
    m_count = 0;
    m_head = 0;
}

void VariabilityCore::AddBeat(float time, float hr) {
    const VHRData beat{time, hr, hr > 0 ? 60.0f / hr : 0.0f};
    if (m_count < kMaxBeats) {
        if (m_head != 0) Linearize();
        m_beats.push_back(beat);
        ++m_count;
        return;
    }
    // Full: the new beat takes the oldest one's place.
    m_beats[static_cast<size_t>(m_head)] = beat;
    m_head = (m_head + 1) % m_count;
}

void VariabilityCore::Linearize() {
    if (m_head == 0) return;
    std::rotate(m_beats.begin(), m_beats.begin() + m_head, m_beats.end());
    m_head = 0;
}

VHRData VariabilityCore::BeatAt(int i) const {
    if (m_count == 0) return {};
    return At(std::clamp(i, 0, m_count - 1));
}

int VariabilityCore::IndexAtTime(float t) const {
    for (int i = 0; i < m_count; ++i)
        if (At(i).time >= t) return i;
    return m_count - 1;
}

float VariabilityCore::Density(double rr) const {
    if (m_minHR == 0 || m_maxHR == 0) return 0.0f;
    const float d = static_cast<float>(m_density.Evaluate(rr));
    return d > 0 ? d : 0.0f;
}

float VariabilityCore::BinSum(float rr) const {
    const double x = static_cast<double>(rr) * 100.0 + 0.5;
    if (!(x >= 5.0) || x >= 195.0) return 0.0f; // k < 5 or k > 194
    const int k = static_cast<int>(x);
    float sum = 0;
    for (int j = k - 2; j <= k + 2; ++j) sum += m_histogram[j];
    return sum;
}

double VariabilityCore::PowerAt(float f) const {
    if (m_count < 10) return 2.0;
    const double s = m_fft.SpectrumAt(f) * 0.01;
    return s * s;
}

void VariabilityCore::Compute(int first, int last) {
    m_table.Clear();
    std::fill(std::begin(m_histogram), std::end(m_histogram), 0.0f);
    m_mn = m_mx = 0;
    if (RunCompute(first, last)) FillTable();
}

bool VariabilityCore::RunCompute(int first, int last) {
    first = std::max(first, 0);
    last = std::min(last, m_count - 1);
    if (last - first < kMinRangeBeats - 1) return false;
    Linearize();
    const VHRData* beats = m_beats.data();

    // Range pass: heart rate statistics and the RR histogram.
    double sum = 0;
    m_minHR = 1000;
    m_maxHR = 0;
    for (int i = first; i <= last; ++i) {
        const double hr = beats[i].hr;
        sum += hr;
        if (hr < m_minHR) m_minHR = hr;
        if (hr > m_maxHR) m_maxHR = hr;
        const int k = BinOf(beats[i].rr);
        if (k >= 0) m_histogram[k] += 1.0f;
    }
    const int n = last - first + 1;
    if (sum == 0) return false;
    m_meanHR = sum / n;
    m_meanRR = 60.0 / m_meanHR;

    // Smoothed distribution: bins grouped into a fifth of the RR range, one knot per group at
    // its middle holding the group's share of beats. A group still open at the end is dropped.
    double width = 0.05;
    if (0 < m_minHR && m_minHR < m_maxHR) width = (60.0 / m_minHR - 60.0 / m_maxHR) * 0.2;
    double knotX[kHistogramBins], knotY[kHistogramBins];
    int knots = 0;
    double a = 0, s = 0;
    for (int k = 0; k < kHistogramBins; ++k) {
        if (a > width) {
            knotX[knots] = k * kBinWidth - a * 0.5;
            knotY[knots] = s;
            ++knots;
            a = 0;
            s = 0;
        }
        a += kBinWidth;
        s += m_histogram[k] / n;
    }
    // Without two knots there is no distribution for this range; the previous range's must not
    // stand in for it.
    if (knots >= 2)
        m_density.Build(knotX, knotY, knots);
    else
        m_density = Spliner();

    // Spectrum of the RR deviations over the whole range as one block (gain 1 everywhere),
    // entries 1 / (range duration) apart; then a running two-point smoothing.
    m_values.resize(static_cast<size_t>(n));
    m_times.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        m_values[static_cast<size_t>(i)] = beats[first + i].rr - m_meanRR;
        m_times[static_cast<size_t>(i)] = beats[first + i].time;
    }
    m_fft.ResetStream();
    m_fft.FilterBlock(m_values.data(), m_times.data(), kFftSize, n);
    if (m_fft.SpectrumCount() == kFftSize / 2) {
        sFreqPoint* spectrum = m_fft.Spectrum();
        spectrum[0].value = 0;
        for (int j = 1; j <= kFftSize / 2 - 2; ++j)
            spectrum[j].value = (spectrum[j - 1].value + spectrum[j].value) * 0.5;
    }

    // Band powers.
    m_ulf = m_vlf = m_lf = m_hf = 0;
    for (float f = 0; f < 0.5f; f += 0.0003f) {
        const double p = PowerAt(f);
        if (f < 0.003)
            m_ulf += p;
        else if (f < 0.04)
            m_vlf += p;
        else if (f < 0.15)
            m_lf += p;
        else
            m_hf += p;
    }
    m_ulf *= 0.0003;
    m_vlf *= 0.0003;
    m_lf *= 0.0003;
    m_hf *= 0.0003;
    m_tp = m_ulf + m_vlf + m_lf + m_hf;

    // Dispersion and successive differences. The last pair may reach the beat after the range.
    double variance = 0, squares = 0;
    int pairs = 0, above50 = 0;
    for (int i = first; i <= last; ++i) {
        const double d = beats[i].rr - m_meanRR;
        variance += d * d;
        if (i + 1 < m_count) {
            const double e = static_cast<double>(beats[i].rr) - beats[i + 1].rr;
            if (std::fabs(e) > 0.05) ++above50;
            squares += e * e;
            ++pairs;
        }
    }
    if (pairs == 0) return false;
    m_variance = variance / n;
    m_rmssd = std::sqrt(squares / pairs);
    m_pnn50 = static_cast<double>(above50) / pairs * 100.0;

    // Distribution bounds: where the density falls to 2 % of its value at the mode, searched in
    // 1 ms steps. A step that no longer moves r (absurdly long intervals) ends the search.
    m_amo = Density(m_meanRR);
    if (m_amo > 0) {
        const double lowest = 0.3 * m_meanRR;
        for (float r = static_cast<float>(m_meanRR); r > lowest;) {
            if (Density(r) / m_amo <= kBoundLevel) {
                m_mn = r;
                break;
            }
            const float next = r - 0.001f;
            if (!(next < r)) break;
            r = next;
        }
        for (float r = static_cast<float>(m_meanRR); r < 1.6;) {
            if (Density(r) / m_amo <= kBoundLevel) {
                m_mx = r;
                break;
            }
            const float next = r + 0.001f;
            if (!(next > r)) break;
            r = next;
        }
    }

    if (m_hf < kPowerFloor) m_hf = kPowerFloor;
    if (m_tp < kPowerFloor) m_tp = kPowerFloor;
    return true;
}

void VariabilityCore::FillTable() {
    const double sd = std::sqrt(m_variance);
    auto row = [this](const char16_t* name, const MVariant& value, const char16_t* limit,
                      const char16_t* des) {
        SetParamRow(m_table, Tr(name), value, MString(limit), MString(des));
    };
    auto i32 = [](double v) { return MVariant(TruncToInt32(v)); };

    row(u"<ЧСС(HR)>, уд/мин", MVariant(m_meanHR), u"55-85",
        u"Частота сердечных сокращений, средняя по фрагменту");
    row(u"Дисперсия(D), мс^2", i32(m_variance * 1e6), u"-", u"");
    row(u"СКО(SDNN), мс", i32(sd * 1000), u"30–100", u"Среднеквадратичное отклонение");
    row(u"КВ(CV), %", i32(sd / m_meanRR * 100), u"3–9", u"Коэффициент вариации");
    row(u"RMSSD, мс", i32(m_rmssd * 1000), u"20–50",
        u"Квадратный корень из суммы квадратов разности величин последовательных пар интервалов");
    row(u"PNN50, %", i32(m_pnn50), u"5–30",
        u"Доля пар последовательных интервалов, различающихся более, чем на 50 мс");
    row(u"Amo", MVariant(m_amo), u"-", u"Амплитуда моды распределения вероятности интервалов");
    row(u"Mo, мс", i32(m_meanRR * 1000), u"700–1100", u"Мода");
    row(u"MxDMn, мс", i32((m_mx - m_mn) * 1000), u"200–400", u"Вариационный размах");
    if (m_mn > 0.001)
        row(u"MxRMn", MVariant(m_mx / m_mn), u"1,3–1,7",
            u"Отношение максимального значения длительности сердечного цикла к минимальному");
    if (m_mx > m_mn && m_meanRR > 0)
        row(u"ИН(SI), о.е.", i32(m_amo / (2 * m_meanRR * (m_mx - m_mn)) * 100), u"50–150",
            u"Индекс напряжения регуляторных систем (стресс-индекс)");
    row(u"ИВВ=LF/HF", MVariant(m_lf / m_hf), u"-", u"Индекс вагосимпатического взаимодействия");
    row(u"ИЦ(IC)=(VLF+LF)/HF", MVariant((m_vlf + m_lf) / m_hf), u"-", u"Индекс централизации");
    row(u"TP, мс^2", i32(m_tp * 1e6), u"-",
        u"Total power – суммарная мощность спектра ВСР, полученного с помощью БПФ (быстрого преобразования "
        u"Фурье)");
    row(u"HF, мс^2", i32(m_hf * 1e6), u"-", u"Суммарная мощность в диапазоне высоких частот (0,4 – 0,15 Гц)");
    row(u"LF, мс^2", i32(m_lf * 1e6), u"-", u"Суммарная мощность в диапазоне низких частот (0,15 – 0,04 Гц)");
    row(u"VLF, мс^2", i32(m_vlf * 1e6), u"-",
        u"Суммарная мощность в диапазоне очень низких частот (0,04 – 0,015 Гц)");
    row(u"ULF, мс^2", i32(m_ulf * 1e6), u"-",
        u"Суммарная мощность в диапазоне ультра низких частот (меньше 0,015 Гц)");
    row(u"HF, %", i32(m_hf / m_tp * 100), u"-",
        u"Мощность спектра в частотном диапазоне HF в процентном отношении ко всему диапазону");
    row(u"LF, %", i32(m_lf / m_tp * 100), u"-",
        u"Мощность спектра в частотном диапазоне LF в процентном отношении ко всему диапазону");
    row(u"VLF, %", i32(m_vlf / m_tp * 100), u"-",
        u"Мощность спектра в частотном диапазоне VLF в процентном отношении ко всему диапазону");
    row(u"ULF, %", i32(m_ulf / m_tp * 100), u"-",
        u"Мощность спектра в частотном диапазоне ULF в процентном соотношении ко всему диапазону");
}

VariabilityCore* GetVariabilityCore(bool create) {
    static std::unique_ptr<VariabilityCore> instance;
    if (!instance && create) instance = std::make_unique<VariabilityCore>();
    return instance.get();
}
