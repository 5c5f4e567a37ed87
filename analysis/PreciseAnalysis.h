#pragma once
// Research-grade analysis of a record fragment: precise beats from its samples
// (PulseBeats.h), the corrected interval series (BeatCorrection.h) and the standard HRV table
// (HrvStandard.h), with the provenance of every step (algorithm, version, parameters), so that a
// result can be reproduced and compared with other tools. The batch tool prints it; the windows
// show it.
//
// Main thread (it reads through the record object given).

#include "analysis/BeatCorrection.h"
#include "analysis/HrvStandard.h"
#include "analysis/PulseBeats.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class PGFiles;

enum class IntervalSource { Onset, Peak };
const char* IntervalSourceName(IntervalSource s);

struct sPreciseOptions {
    double from = -1; // record seconds; below 0: the record's start
    double to = -1;   // record seconds; below 0: the record's end
    IntervalSource source = IntervalSource::Onset;
    bool table = true; // also correct the series and compute the table
    sPulseBeatParams beats;
    sBeatCorrectionParams correction;
    sHrvStandardParams hrv; // its intervalSource is set from source
};

struct sProvenance {
    std::string step;      // "beats", "correction", "table"
    std::string algorithm; // name and published method
    std::string version;
    std::vector<std::pair<std::string, double>> parameters;
    std::vector<std::pair<std::string, std::string>> settings; // parameters that are words
};

struct sPreciseResult {
    bool ok = false;
    std::string reason;      // why the fragment could not be read
    double from = 0, to = 0; // the fragment read (record seconds)
    double rate = 0;         // samples per second of the record
    int64_t samples = 0;
    std::vector<sPulseBeat> beats; // in the fragment, kBeatEctopic set from the correction
    sBeatCorrection correction;
    sHrvStandard table;
    std::vector<sProvenance> provenance;
};

// Reads the fragment's raw samples (no isoline correction) through record, which must be open for
// reading, and analyses them. A record without a time range, or a fragment without samples, fails
// with a reason.
sPreciseResult AnalyzeRecordPrecise(PGFiles& record, const sPreciseOptions& options);

// The same on samples in memory (evenly spaced at rate, the first at startTime).
sPreciseResult AnalyzeSamplesPrecise(const double* values, size_t n, double rate, double startTime,
                                     const sPreciseOptions& options);
