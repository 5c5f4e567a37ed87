#pragma once
// Simulated records without waiting: the simulated Kestrel-9 drives the real live chain (device
// task, rejection filter, live heart rate, recorder, regulator and the record commands) on a fake
// clock that the loop moves itself, so a day of recording takes seconds. The run goes as an
// unattended recording does: connect, wait until the regulator has settled and three heart rates
// agree, stop the LED current regulation, record for the asked time, stop.
//
// With rate 100 the live record is made in a temporary file beside the target and then imported
// the way a 100 Hz text file would be (rescaled to 0 ... 1, resampled, beats found by the import's
// detector); the result has no regulator states.
//
// The truth (optional CSV) lists every true beat of the record: onset and systolic peak in record
// seconds, the interval since the previous onset, whether it is a premature beat and whether a
// disturbance (motion, baseline jump, saturation, the amplifier's baseline recovery) covered it.
//
// Uses the process-wide objects of the program (event manager, blob pool, record file object,
// recording state, live chain, settings) and installs its own clock while it runs. It starts
// from an empty settings tree, a fresh status and command buffer, so that one seed always gives
// one record; the live chain is stopped, the record closed and the settings tree emptied when it
// returns. For the batch tool and tests: not inside the program while its own live chain runs.

#include "core/MString.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sSimRecordOptions {
    double minutes = 10;           // record length (record time of the last sample written)
    uint32_t scenario = 0;         // SimScenarioFlags
    uint64_t seed = 1;             // one seed gives one signal, one truth and one record
    int rate = 500;                // 500 (as recorded live) or 100 (as imported)
    MString recordPath;            // the record to write (replaced)
    std::string truthPath;         // the truth CSV; empty for none
    double maxSettleSeconds = 120; // give up when the pulse is not stable by then
    std::function<void(int percent)> progress;
};

struct sSimRecordResult {
    bool ok = false;
    std::string reason;         // why it failed; empty on success
    double settleSeconds = 0;   // simulated seconds until recording started
    double recordSeconds = 0;   // record time written
    int64_t samples = 0;        // samples in the record
    int64_t heartRates = 0;     // heart-rate entries in the record
    int64_t trueBeats = 0;      // rows of the truth
    int64_t disturbedBeats = 0; // of them covered by a disturbance
};

// One row of the truth (record seconds).
struct sSimTruthBeat {
    double onset = 0;
    double peak = 0;
    double rr = 0; // s since the previous onset
    bool ectopic = false;
    bool disturbed = false;
};

// The header line of the truth CSV.
inline constexpr char kSimTruthHeader[] = "onset_s,peak_s,rr_s,ectopic,artefact";

sSimRecordResult WriteSimulatedRecord(const sSimRecordOptions& options);

// Reads a truth CSV written by WriteSimulatedRecord. False with a reason when it cannot be read.
bool ReadSimTruth(const std::string& path, std::vector<sSimTruthBeat>& beats, std::string& reason);
