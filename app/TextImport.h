#pragma once
// Import of foreign text data: a file of numbers, one value per sample at a rate the user names,
// becomes a record file. The values are rescaled to 0 ... 1, resampled to 100 samples per second
// by linear interpolation, passed through the heart beat detector, and written as samples (blocks
// of 50) and heart-rate entries.
//
// Numbers: the bytes "0" ... "9", "+", "-", "." and "," form tokens; every other byte separates
// them. A token is read like MString::ToDouble ("." or "," as decimal separator, leading text
// before the number skipped, anything after it ignored). A token without a digit, or one too
// large for a double, is skipped and counted.
//
// Main thread (it writes through the record object, which belongs to the main thread).

#include "core/MString.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class PGFiles;

// Shown by the viewer when an import fails.
inline constexpr char16_t kImportFailedMessage[] =
    u"Произошла какая-то ошибка при попытке импорта данных из вашего файла. Пожалуйста, проверьте его "
    u"корректность.";

// Rates the sample-rate prompt accepts, Hz.
inline constexpr int kImportMinRate = 6;
inline constexpr int kImportMaxRate = 10000;
// Fewer numbers than this are no signal.
inline constexpr int kImportMinValues = 11;
// The resampled data must last longer than this, seconds.
inline constexpr double kImportMinDuration = 5.0;
// Resampled sample period (s) and the samples per written block.
inline constexpr double kImportPeriod = 0.01;
inline constexpr int kImportBlock = 50;
// The numbers are held in memory (8 bytes each); a file with more fails rather than exhausting it.
inline constexpr int64_t kImportMaxValues = 100'000'000;

// The numbers of a text.
struct TextNumbers {
    std::vector<double> values;
    double smallest = 0; // extremes of values; 0 while there is none
    double largest = 0;
    int64_t skippedTokens = 0; // tokens without a digit or beyond the double range
    bool truncated = false;    // stopped at the value limit
};

// Value of one token (bytes of the token alphabet only). False for a token without a digit and
// for one whose value is beyond the double range.
bool TextTokenValue(std::string_view token, double& value);

// Collects the numbers of text into out (appending; the extremes cover every value). A number in
// the last bytes of the text counts even with nothing after it. Stops with out.truncated set
// once maxValues values are held and another one is found.
void ParseTextNumbers(std::string_view text, TextNumbers& out, int64_t maxValues = kImportMaxValues);

// Reads a whole file's numbers. False (with reason) when the file cannot be opened or read.
bool ReadTextNumbers(const MString& path, TextNumbers& out, std::string& reason,
                     int64_t maxValues = kImportMaxValues);

// The record path the viewer gives an imported file: its extension replaced by ".pwv" (added when
// the file name has none).
MString ImportTargetPath(const MString& source);

struct TextImportResult {
    bool ok = false;
    std::string reason; // why it failed (for the log and the batch tool); empty on success
    int64_t values = 0; // numbers read
    int64_t skippedTokens = 0;
    double smallest = 0, largest = 0;
    double duration = 0; // s, time of the last value at the given rate
    int64_t samples = 0; // resampled samples written
    int64_t beats = 0;   // heart-rate entries written
};

// Progress of a long import, 0 ... 100.
using ImportProgress = std::function<void(int percent)>;

// Writes the numbers as a record at target, through `record` (closed first, closed at the end).
// The record is written under a temporary name beside target and renamed over it only once it is
// complete, so a failed import leaves target as it was. Nothing is created when the numbers do
// not make a record (too few, no variation, not more than 5 s at the rate).
TextImportResult ImportTextNumbers(const TextNumbers& numbers, int rateHz, const MString& target,
                                   PGFiles& record, const ImportProgress& progress = {});

// ReadTextNumbers, then ImportTextNumbers. Refuses a target that is the source itself.
TextImportResult ImportTextFile(const MString& source, int rateHz, const MString& target, PGFiles& record,
                                const ImportProgress& progress = {});
