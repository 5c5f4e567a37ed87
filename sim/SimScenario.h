#pragma once
// Named signal scenarios of the simulated photoplethysmograph, switchable and combinable
// ("ectopic,artefact"), for demonstrations and for measuring the analyses against a known truth:
//   rest          the plain signal (nothing switched on)
//   ectopic       premature beats with a compensatory pause, about 1 in 100
//   artefact      motion bursts, baseline jumps and a few seconds of sensor saturation now and then
//   lowperfusion  a small pulse (a quarter of the usual) with more noise
//   irregular     independent, widely spread intervals (atrial-fibrillation-like)
//   stress        a 10-minute cycle of rest, rising rate with less breathing variation, and back

#include "sim/SimKestrel.h"

#include <cstdint>
#include <string>
#include <string_view>

enum SimScenarioFlags : uint32_t {
    kSimRest = 0,
    kSimEctopic = 1u << 0,
    kSimArtefact = 1u << 1,
    kSimLowPerfusion = 1u << 2,
    kSimIrregular = 1u << 3,
    kSimStress = 1u << 4,
};

// Parses a comma-separated list of scenario names (case-sensitive; "rest" adds nothing; spaces
// around names are ignored). False with a message for an unknown or empty name.
bool ParseSimScenario(std::string_view text, uint32_t& flags, std::string& error);
// The names of the switched-on scenarios, comma-separated; "rest" when none.
std::string SimScenarioName(uint32_t flags);
// Every scenario name, comma-separated, for help texts.
const char* SimScenarioNames();

// Switches the scenarios on in a device configuration (on top of what it holds).
void ApplySimScenario(uint32_t flags, SimKestrelConfig& config);
