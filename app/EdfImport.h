#pragma once
// Import of one signal of an EDF, EDF+ or BDF(+) file into a record. The header is checked here
// first (EdfHeader.h); EDFlib then reads the samples. The signal is resampled to 100 samples per
// second by linear interpolation exactly as the text import does and written in blocks of 50.
// Values: a signal whose physical range lies within what a record holds (-3.2768 ... 3.2767)
// with steps no finer than the record's 0.0001 (as in every file the EDF export writes) keeps its
// values, each stored as the nearest record code; any other is rescaled to 0 ... 1 over its
// smallest and largest value, as the text import does. Heart-rate entries: the EDF+ annotations
// "HR <beats per minute>" at their onsets when the file has any, else the beats the heart beat
// detector finds in the values rescaled to 0 ... 1 (as the text import). Metadata from
// the header: start ("RecordStartT", local time; none for an unknown or the anonymous
// 01.01.85 00.00.00 start), and for EDF+ "PatCode", "PatSex", "PatBirthDate" (YYYY-MM-DD),
// "PatName", the subfields the export writes ("Age=" ...), other subfields into "PatNotice", and
// "PatAge" from birth date and start when no age is given; plain EDF's patient field becomes
// "PatName".
//
// Refused with a reason and without any output: files the header check refuses, EDF+D/BDF+D
// (recordings with gaps), EDF+ files whose data records are not continuous, malformed
// annotation lists, signals sampled outside 6 ... 10000 Hz, flat signals, and signals not lasting
// more than 5 s or longer than a record's millisecond times hold (49.7 days).
//
// Main thread (it writes through the record object; EDFlib keeps global state without locks).

#include "app/TextImport.h"
#include "core/MString.h"

#include <cstdint>
#include <string>
#include <vector>

class PGFiles;

struct EdfImportResult {
    bool ok = false;
    std::string reason;              // why it failed; empty on success
    std::string type;                // "EDF", "EDF+C", "BDF", "BDF+C" ...
    std::string label;               // the signal imported
    std::vector<std::string> labels; // the file's ordinary signals
    double rate = 0;                 // the signal's rate, Hz
    double duration = 0;             // s, time of its last sample
    int64_t sourceSamples = 0;
    bool rescaled = false; // values rescaled to 0 ... 1
    int64_t samples = 0;   // resampled samples written
    int64_t beats = 0;     // heart-rate entries written
    bool beatsFromAnnotations = false;
    int64_t otherAnnotations = 0; // annotations that are not heart rates (not carried over)
};

// True for a file named *.edf or *.bdf (any case), or whose first bytes are an EDF or BDF header.
bool IsEdfFile(const MString& path);

// Imports the signal named label (trimmed; empty: the first ordinary signal; an exact name first,
// else one differing in case only) of source into a record at target, through `record` (closed
// first, closed at the end). The record is written under a temporary name and renamed over
// target when complete, so a failed import leaves target as it was.
EdfImportResult ImportEdfFile(const MString& source, const std::string& label, const MString& target,
                              PGFiles& record, const ImportProgress& progress = {});
