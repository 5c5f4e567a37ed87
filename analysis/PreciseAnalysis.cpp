#include "analysis/PreciseAnalysis.h"

#include "storage/PGFiles.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int32_t kReadBlock = 4096;

// Marks the beats inside every run of ectopic intervals (the premature beat ends the first
// interval of its pair).
void MarkEctopic(std::vector<sPulseBeat>& beats, const std::vector<IntervalClass>& classes) {
    for (size_t a = 0; a < classes.size();) {
        if (classes[a] != IntervalClass::Ectopic) {
            ++a;
            continue;
        }
        size_t b = a;
        while (b + 1 < classes.size() && classes[b + 1] == IntervalClass::Ectopic) ++b;
        const size_t last = b > a ? b : a + 1;
        for (size_t k = a + 1; k <= last && k < beats.size(); ++k) beats[k].flags |= kBeatEctopic;
        a = b + 1;
    }
}

void Finish(sPreciseResult& r, const sPreciseOptions& o) {
    sProvenance p;
    p.step = "beats";
    p.algorithm = PulseBeatDetector::kAlgorithm;
    p.version = PulseBeatDetector::kVersion;
    p.parameters = o.beats.List();
    p.parameters.insert(p.parameters.begin(), {"rate_hz", r.rate});
    r.provenance.push_back(p);
    if (!o.table) return;

    std::vector<double> times;
    std::vector<uint8_t> artefact;
    times.reserve(r.beats.size());
    for (const sPulseBeat& b : r.beats) {
        times.push_back(o.source == IntervalSource::Peak ? b.peak : b.onset);
        artefact.push_back((b.flags & kBeatArtefact) ? 1 : 0);
    }
    r.correction = CorrectBeatSeries(times, artefact, o.correction);
    MarkEctopic(r.beats, r.correction.classes);
    sHrvStandardParams hp = o.hrv;
    hp.intervalSource = IntervalSourceName(o.source);
    r.table = ComputeHrvStandard(r.correction.series, hp);

    sProvenance c;
    c.step = "correction";
    c.algorithm = sBeatCorrection::kAlgorithm;
    c.version = sBeatCorrection::kVersion;
    c.parameters = o.correction.List();
    r.provenance.push_back(c);
    sProvenance t;
    t.step = "table";
    t.algorithm = sHrvStandard::kAlgorithm;
    t.version = sHrvStandard::kVersion;
    t.parameters = hp.List();
    t.settings = {{"interval_source", hp.intervalSource},
                  {"welch_window", "hann"},
                  {"welch_detrend", "linear"},
                  {"resampling", "natural cubic spline"},
                  {"lomb", "press-rybicki"}};
    r.provenance.push_back(t);
}

} // namespace

const char* IntervalSourceName(IntervalSource s) {
    return s == IntervalSource::Peak ? "peak" : "onset";
}

sPreciseResult AnalyzeSamplesPrecise(const double* values, size_t n, double rate, double startTime,
                                     const sPreciseOptions& o) {
    sPreciseResult r;
    r.rate = rate;
    r.from = startTime;
    r.to = startTime + double(n) / rate;
    r.samples = int64_t(n);
    if (!values || n == 0 || !(rate > 0)) {
        r.reason = "no samples";
        return r;
    }
    PulseBeatDetector detector(rate, startTime, o.beats);
    detector.Put(values, n);
    detector.Finish();
    r.beats = detector.TakeBeats();
    Finish(r, o);
    r.ok = true;
    return r;
}

sPreciseResult AnalyzeRecordPrecise(PGFiles& record, const sPreciseOptions& o) {
    sPreciseResult r;
    if (!(record.StartTime() >= 0 && record.EndTime() > record.StartTime())) {
        r.reason = "the record has no time range";
        return r;
    }
    const double from = o.from >= 0 ? std::max(o.from, record.StartTime()) : record.StartTime();
    const double to = o.to >= 0 ? std::min(o.to, record.EndTime()) : record.EndTime();
    if (!(to > from)) {
        r.reason = "the fragment is empty";
        return r;
    }
    record.SeekTime(from, true);
    std::vector<double> v(kReadBlock), t(kReadBlock);
    int32_t got = record.ReadRawSamples(v.data(), t.data(), kReadBlock);
    const double period = record.StampFields().periodMs * 0.001;
    if (got <= 0 || !(period > 0)) {
        r.reason = "the fragment holds no samples";
        return r;
    }
    r.rate = 1.0 / period;
    r.from = t[0];
    PulseBeatDetector detector(r.rate, t[0], o.beats);
    const int64_t wanted = int64_t(std::floor((to - t[0]) * r.rate)) + 1;
    while (got > 0 && r.samples < wanted) {
        const int64_t take = std::min<int64_t>(got, wanted - r.samples);
        detector.Put(v.data(), size_t(take));
        r.samples += take;
        got = record.ReadRawSamples(v.data(), t.data(), kReadBlock);
    }
    detector.Finish();
    r.to = r.from + double(r.samples) / r.rate;
    r.beats = detector.TakeBeats();
    Finish(r, o);
    r.ok = true;
    return r;
}
