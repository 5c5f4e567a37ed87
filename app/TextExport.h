#pragma once
// Text export of a record fragment: the pulse wave resampled to a chosen rate (optionally with a
// time stamp per sample), then the RR intervals of the fragment with its heart rate variability
// table. The export view, the unattended command-line run and the batch tool share the writer and
// the option rules here; the view only binds its controls to them.
//
// File layout (Windows-1251 text, CR LF line ends, every value followed by the delimiter):
//   start information when the record has it, fragment start and duration;
//   with the pulse wave: rate, sample count (and the time stamp unit note), CR LF,
//     ["#Time" CR LF stamps CR LF] "#Amp" CR LF amplitudes CR LF CR LF;
//   with RR intervals (when the fragment has any): their count and unit line, CR LF,
//     the intervals CR LF CR LF, one "name = value" line per parameter, CR LF.
//
// Main thread (it reads the record object, which belongs to the main thread).

#include "core/MString.h"

#include <cstdint>
#include <functional>
#include <string>

class MVarArray;
class PGFiles;

// Settings keys of the export options.
inline constexpr char16_t kExportSampleFKey[] = u"ExportSampleF";
inline constexpr char16_t kExportDelimiterKey[] = u"ExportDelimiter";
inline constexpr char16_t kExportPulseKey[] = u"PulseCBChecked";
inline constexpr char16_t kExportRRKey[] = u"HRateCBChecked";
inline constexpr char16_t kExportTimeStampsKey[] = u"TimeStampsCBChecked";

// Messages of a failed export.
inline constexpr char16_t kExportCreateFailedMessage[] = u"Ошибка! Не удается создать указанный файл!";
inline constexpr char16_t kExportWriteFailedMessage[] =
    u"Ошибка! Не удается записать данные в указанный файл!";

// Export rates, Hz: the view accepts up to kExportMaxViewRate, the command line up to kExportMaxRate.
inline constexpr int kExportMinRate = 10;
inline constexpr int kExportMaxViewRate = 2000;
inline constexpr int kExportMaxRate = 5000;
// Longest delimiter text the view takes, in characters (before "n" becomes CR LF).
inline constexpr int kExportMaxDelimiterText = 4;
// Output samples per piece of the pulse wave (a piece is read and resampled at a time).
inline constexpr int64_t kExportPieceSamples = 5000;
// Interpolator capacity of a piece; larger when a piece holds more input samples.
inline constexpr int kExportInterpolatorCapacity = 100'000;
// Above this estimated size (bytes) the view shows the estimate in red.
inline constexpr double kExportLargeSize = 1'000'000;

struct ExportOptions {
    double sampleF = 100;      // Hz
    MString delimiter = u" ";  // placed after every value; may hold CR LF
    bool pulse = true;         // pulse wave part
    bool rr = true;            // RR intervals and statistics part
    bool timeStamps = false;   // a time stamp per pulse wave sample
    double start = 0, end = 0; // fragment, record seconds
};

// Options stored in the settings tree replace the defaults (absent keys keep them; nothing is
// inserted). A stored rate outside kExportMinRate ... kExportMaxRate is clamped into it.
void LoadExportOptions(const MVarArray& settings, ExportOptions& options);
// The fragment the view starts with: the record's whole seconds [trunc(StartTime), trunc(EndTime)]
// (0 ... 0 for a record without time stamps).
void SetWholeRecordFragment(ExportOptions& options, const PGFiles& record);

// The view's rate field changed: an integer text sets the rate, clamped to kExportMinRate ...
// kExportMaxViewRate, and stores it (when settings is given). False (nothing changes) for any
// other text.
bool ApplyExportRateText(ExportOptions& options, const MString& text, MVarArray* settings);
// The view's delimiter field changed: every "n" becomes CR LF, an empty text means one space;
// stored when settings is given.
void ApplyExportDelimiterText(ExportOptions& options, const MString& text, MVarArray* settings);
// The delimiter as the view's field shows it: its first CR LF as "n".
MString ExportDelimiterEditText(const MString& delimiter);
// Stores the three part switches as int32 0/1.
void StoreExportSwitches(const ExportOptions& options, MVarArray& settings);
// The view's fragment track bars moved to startPos and endPos (whole seconds): sets the fragment;
// an end before the start moves to min(start + 5, endTime). Returns the end, where the end track
// bar must then stand.
double ApplyExportFragmentPositions(ExportOptions& options, int startPos, int endPos, double endTime);

// Estimated file size in bytes.
double ExportSizeEstimate(const ExportOptions& options);
// The estimate as the view shows it: whole kilobytes and " kB".
MString ExportSizeText(double estimate);

struct ExportResult {
    bool ok = false;
    MString message;     // for the user when it failed
    std::string reason;  // what failed (log, batch tool)
    int64_t samples = 0; // pulse wave samples counted in the header
    int64_t rrIntervals = 0;
    int parameters = 0; // rows of the variability table written
};

// Progress of a long export, 0 ... 100.
using ExportProgress = std::function<void(int percent)>;

// Writes the fragment of the record (open for reading) to path, replacing the file. A write that
// fails (full disk, lost device) fails the export.
ExportResult WriteExport(const MString& path, const ExportOptions& options, PGFiles& record,
                         const ExportProgress& progress = {});
