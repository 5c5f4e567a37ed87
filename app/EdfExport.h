#pragma once
// EDF+ export of a record fragment (written by EDFlib): the pulse wave at the record's own rate,
// the patient data the EDF+ header has room for, the start date and time, and every heart-rate
// entry of the fragment as an annotation.
//
// Signal "Pleth": the record's int16 codes unchanged as the digital values, digital range
// -32768 ... 32767 mapped onto the physical range -3.2768 ... 3.2767, so one step is 0.0001 of
// the record's signal unit: "ADC/4095" for live records (converter codes / 4095), "a.u." for
// others (imported data rescaled to 0 ... 1). Data records last the smallest whole number of
// seconds that holds a whole number of samples (1 s at 500 and at 100 Hz, 3 s at 333.3 Hz);
// samples after the last whole data record of the fragment are left out.
//
// Header: the start is the record's "RecordStartT" plus the fragment's first sample (local time,
// whole seconds in the date and time fields, the rest as the EDF+ subsecond start); a record
// without it, or outside 1985 ... 2084, gets the anonymous 01.01.85 00.00.00. Patient field
// "code sex birthdate name" from "PatCode", "PatSex", "PatBirthDate" and "PatName" ("X" when
// absent), then the subfields "Age=", "Height_cm=", "Weight_kg=" and "BP_mmHg=" from the patient
// window's values; text becomes ASCII (Cyrillic transliterated), spaces become "_". What does not
// fit the 80 characters is left out, last subfields first. Annotations: "HR 72.50" (beats per
// minute) at each entry's time, relative to the first sample.
//
// Main thread (it reads the record object, which belongs to the main thread; EDFlib keeps global
// state without locks).

#include "core/MString.h"

#include <cstdint>
#include <string>
#include <vector>

class MAssocStrings;
class PGFiles;

// Samples per data record and its duration (ms) for a sample period of periodMs; {0, 0} for a
// period no data record of at most 60 s can hold.
struct EdfRecordLayout {
    int samples = 0;
    int durationMs = 0;
};
EdfRecordLayout EdfLayoutForPeriod(int periodMs);

// Printable ASCII for an EDF header: Cyrillic letters transliterated, other characters beyond
// ASCII as "?", control characters as spaces.
std::string EdfAscii(const MString& text);

// The patient and recording fields' parts from the record's metadata (before EDFlib joins them).
struct EdfPatientFields {
    std::string code = "X", sex = "X", name = "X";
    int birthYear = 0, birthMonth = 0, birthDay = 0; // 0: unknown
    std::string additional;                          // space-separated subfields
    std::vector<std::string> leftOut;                // subfields that did not fit
};
EdfPatientFields EdfPatientFromMetadata(const MAssocStrings& metadata);

// The annotation text of a heart-rate entry, and its reading back (true with hr in beats per
// minute for "HR 72.50", also "HR=72.5 bpm" and "hr: 72").
std::string EdfHeartRateText(double hr);
bool ParseEdfHeartRateText(const std::string& text, double& hr);

struct EdfExportResult {
    bool ok = false;
    std::string reason;      // why it failed
    double firstTime = 0;    // record time of the first sample written, s
    double rate = 0;         // Hz
    int64_t samples = 0;     // pulse wave samples written
    int64_t records = 0;     // data records
    int recordMs = 0;        // duration of one
    int64_t annotations = 0; // heart-rate entries written
    int annotationSignals = 0;
    std::vector<std::string> notes; // what was left out
};

// Writes the fragment from ... to (record seconds) of the record (open for reading) as EDF+ to
// path, replacing the file only when the export is complete.
EdfExportResult WriteEdfExport(const MString& path, double from, double to, PGFiles& record);
