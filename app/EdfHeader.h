#pragma once
// EDF, EDF+, BDF and BDF+ files as outside bytes: the header read and checked before EDFlib sees
// the file, and the annotation lists (TALs) of the data records. EDFlib reads hostile files in C
// with int arithmetic; everything it would trust (sizes, counts, the file length) is checked here
// first, so a file that passes holds exactly the data records its header announces.
//
// Header: 256 bytes of fixed fields, then 256 bytes per signal, printable ASCII (BDF: the first
// byte is 255 followed by "BIOSEMI"). Numbers are left-aligned decimal text padded with spaces.
// A data record holds each signal's samples in turn: little-endian int16 (EDF) or int24 (BDF).
// An EDF+ "EDF Annotations" signal (BDF+: "BDF Annotations") holds TALs:
//   +onset[\x15duration]\x14annotation\x14[annotation\x14...]\x00
// and the first TAL of a record's first annotation signal starts with an empty annotation whose
// onset is the record's start (time keeping). Onsets are seconds from the header's start second.
//
// Plain functions on bytes; no state.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Time unit of onsets and durations: 100 ns.
inline constexpr int64_t kEdfTicksPerSecond = 10'000'000;
// Limits EDFlib works within: signals per file and bytes per data record.
inline constexpr int kEdfMaxSignals = 640;
inline constexpr int64_t kEdfMaxRecordBytes = 10 * 1024 * 1024;
inline constexpr int64_t kBdfMaxRecordBytes = 15 * 1024 * 1024;
inline constexpr size_t kEdfFixedHeaderBytes = 256;
inline constexpr size_t kEdfSignalHeaderBytes = 256;

struct EdfSignal {
    std::string label; // trimmed
    std::string transducer, dimension, prefilter;
    double physicalMin = 0, physicalMax = 0;
    int32_t digitalMin = 0, digitalMax = 0;
    int64_t samplesPerRecord = 0;
    bool annotations = false; // an annotation signal (EDF+/BDF+ only)
    int64_t offset = 0;       // bytes from the start of a data record
};

struct EdfHeader {
    bool bdf = false;
    bool plus = false;          // EDF+ or BDF+
    bool discontinuous = false; // EDF+D / BDF+D
    std::string patient;        // the identification fields, trailing spaces removed
    std::string recording;
    int day = 0, month = 0, year = 0; // start date; year from the 2-digit field (1985 ... 2084)
    int hour = 0, minute = 0, second = 0;
    int64_t headerBytes = 0;
    int64_t records = 0;
    int64_t durationTicks = 0; // of one data record
    int64_t recordBytes = 0;
    std::vector<EdfSignal> signals;

    int BytesPerSample() const { return bdf ? 3 : 2; }
    double RecordSeconds() const { return double(durationTicks) / double(kEdfTicksPerSecond); }
    // Byte offset of data record r in the file.
    int64_t RecordOffset(int64_t r) const { return headerBytes + r * recordBytes; }
    const char* TypeName() const;
};

// The header size the first 256 bytes announce (256 x (signals + 1)); 0 with a reason when the
// bytes are not the start of an EDF or BDF header.
int64_t EdfHeaderSize(std::string_view fixedHeader, std::string& reason);

// Parses and checks a whole header (exactly the announced size) of a file of fileSize bytes:
// every field well-formed, every signal with samples, digital minimum below maximum (within 16
// or 24 bits), physical minimum and maximum different, a record size within EDFlib's limit, a
// known record count, and a file exactly as long as header and records. EDF+ identification
// fields must have their subfields. False with a reason naming the field.
bool ParseEdfHeader(std::string_view header, int64_t fileSize, EdfHeader& out, std::string& reason);

// A decimal number of seconds ("+12.5", "0.25", "3") as ticks; digits beyond 100 ns are cut.
// False for anything else and beyond +-10^11 s.
bool ParseEdfSeconds(std::string_view text, int64_t& ticks);

// The TALs of one annotation signal of one data record. With timeKeeping set (the record's first
// annotation signal), the first annotation must be the empty time-keeping one; its onset goes to
// recordStart and it is not passed on. Every other annotation goes to each(onset, duration
// (-1 when absent), text); empty ones are passed over. A zero byte where a TAL would start ends
// the list (the rest is padding). False with a reason for anything malformed.
using EdfAnnotationSink = std::function<void(int64_t onset, int64_t duration, std::string_view text)>;
bool ParseEdfTals(std::string_view bytes, bool timeKeeping, int64_t& recordStart,
                  const EdfAnnotationSink& each, std::string& reason);
