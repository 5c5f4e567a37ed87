#include "tools/corvina-tool/PreciseOutput.h"

#include "tools/corvina-tool/Tool.h"

#include <cmath>
#include <cstdio>

namespace tool {
namespace {

std::string Text(double v) {
    if (!std::isfinite(v)) return "-";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

std::string CsvNumber(double v) {
    return std::isfinite(v) ? JsonNumber(v) : "";
}

} // namespace

std::string ProvenanceJson(const std::vector<sProvenance>& list) {
    std::string o = "[";
    for (size_t i = 0; i < list.size(); ++i) {
        const sProvenance& p = list[i];
        o += i ? ", {" : "{";
        o += "\"step\": " + JsonString(p.step) + ", \"algorithm\": " + JsonString(p.algorithm) +
             ", \"version\": " + JsonString(p.version) + ", \"parameters\": {";
        bool first = true;
        for (const auto& [k, v] : p.parameters) {
            o += (first ? "" : ", ") + JsonString(k) + ": " + JsonNumber(v);
            first = false;
        }
        for (const auto& [k, v] : p.settings) {
            o += (first ? "" : ", ") + JsonString(k) + ": " + JsonString(v);
            first = false;
        }
        o += "}}";
    }
    return o + "]";
}

std::string PreciseJson(const sPreciseResult& r) {
    const sBeatCorrection& c = r.correction;
    std::string o = "{\"beats\": " + std::to_string(r.beats.size());
    o += ", \"correction\": {\"intervals\": " + std::to_string(c.intervals) +
         ", \"corrected\": " + std::to_string(c.corrected) + ", \"ectopic\": " + std::to_string(c.ectopic) +
         ", \"long_short\": " + std::to_string(c.longShort) + ", \"missed\": " + std::to_string(c.missed) +
         ", \"extra\": " + std::to_string(c.extra) + ", \"artefact\": " + std::to_string(c.artefact) +
         ", \"gaps\": " + std::to_string(c.gaps) + ", \"unusable_s\": " + JsonNumber(c.unusableS) +
         ", \"unusable_pct\": " + JsonNumber(100 * c.UnusableShare()) + "}";
    o += ", \"table\": {";
    bool first = true;
    for (const auto& [k, v] : r.table.Rows()) {
        o += (first ? "" : ", ") + JsonString(k) + ": " + JsonNumber(v);
        first = false;
    }
    o += "}, \"provenance\": " + ProvenanceJson(r.provenance) + "}";
    return o;
}

std::string PreciseText(const sPreciseResult& r) {
    const sBeatCorrection& c = r.correction;
    std::string o = "  precise beats: " + std::to_string(r.beats.size()) + " at " + Text(r.rate) +
                    " Hz; intervals " + std::to_string(c.intervals) + ", corrected " +
                    std::to_string(c.corrected) + " (ectopic " + std::to_string(c.ectopic) + ", long/short " +
                    std::to_string(c.longShort) + ", missed " + std::to_string(c.missed) + ", extra " +
                    std::to_string(c.extra) + ", around artefacts " + std::to_string(c.artefact) +
                    "), gaps " + std::to_string(c.gaps) + ", unusable " + Text(c.unusableS) + " s (" +
                    Text(100 * c.UnusableShare()) + " %)\n";
    std::string source = "onset";
    for (const sProvenance& p : r.provenance)
        for (const auto& [k, v] : p.settings)
            if (k == "interval_source") source = v;
    o += "  standard HRV (intervals " + source + " to " + source + "):\n";
    for (const auto& [k, v] : r.table.Rows()) {
        std::string line = "    " + k;
        line.resize(std::max<size_t>(line.size(), 26), ' ');
        o += line + " = " + Text(v) + "\n";
    }
    return o;
}

std::vector<std::string> PreciseCsvColumns() {
    std::vector<std::string> cols = {"precise_beats", "corrected_intervals", "unusable_pct"};
    for (const auto& [k, v] : sHrvStandard{}.Rows()) cols.push_back(k);
    return cols;
}

std::vector<std::string> PreciseCsvValues(const sPreciseResult* r) {
    std::vector<std::string> values;
    if (!r || !r->ok) return std::vector<std::string>(PreciseCsvColumns().size());
    values.push_back(std::to_string(r->beats.size()));
    values.push_back(std::to_string(r->correction.corrected));
    values.push_back(CsvNumber(100 * r->correction.UnusableShare()));
    for (const auto& [k, v] : r->table.Rows()) values.push_back(CsvNumber(v));
    return values;
}

} // namespace tool
