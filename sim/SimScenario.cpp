#include "sim/SimScenario.h"

namespace {

struct Named {
    const char* name;
    uint32_t flag;
};

constexpr Named kScenarios[] = {
    {"rest", kSimRest},           {"ectopic", kSimEctopic},
    {"artefact", kSimArtefact},   {"lowperfusion", kSimLowPerfusion},
    {"irregular", kSimIrregular}, {"stress", kSimStress},
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

} // namespace

bool ParseSimScenario(std::string_view text, uint32_t& flags, std::string& error) {
    uint32_t out = 0;
    for (;;) {
        const size_t comma = text.find(',');
        const std::string_view name = Trim(text.substr(0, comma));
        bool known = false;
        for (const Named& s : kScenarios)
            if (name == s.name) {
                out |= s.flag;
                known = true;
            }
        if (!known) {
            error = name.empty()
                        ? "empty scenario name"
                        : "unknown scenario '" + std::string(name) + "' (known: " + SimScenarioNames() + ")";
            return false;
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    flags = out;
    return true;
}

std::string SimScenarioName(uint32_t flags) {
    std::string out;
    for (const Named& s : kScenarios)
        if (s.flag != 0 && (flags & s.flag)) out += (out.empty() ? "" : ",") + std::string(s.name);
    return out.empty() ? "rest" : out;
}

const char* SimScenarioNames() {
    return "rest, ectopic, artefact, lowperfusion, irregular, stress";
}

void ApplySimScenario(uint32_t flags, SimKestrelConfig& config) {
    SimPulseConfig& p = config.pulse;
    SimSensorConfig& s = config.sensor;
    if (flags & kSimEctopic) p.ectopicProbability = 0.01;
    if (flags & kSimArtefact) {
        p.artefactsPerMinute = 0.5;
        p.baselineJumpsPerMinute = 0.3;
        p.saturationsPerMinute = 0.1;
    }
    if (flags & kSimLowPerfusion) {
        for (SimLedOptics* led : {&s.internalRed, &s.clipRed, &s.clipInfrared}) led->perfusion *= 0.25;
        p.noise *= 4;
        s.inputNoise *= 3;
    }
    if (flags & kSimIrregular) {
        p.irregularity = 0.22;
        p.rsaDepth *= 0.2;
        p.mayerDepth *= 0.2;
    }
    if (flags & kSimStress) p.stressCycle = 600;
}
