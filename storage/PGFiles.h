#pragma once
// Record file (*.pwv): a chunk container (MMuxer) that interleaves, all linked back:
//   1 time stamp (12 bytes)  int32 wall clock (s since 1970 UTC), uint32 record time of the next
//                            sample (ms), uint16 sample period (ms), uint16 amplitude divisor
//   2 samples (2 x n bytes)  int16 value x 10000, truncated toward zero
//   3 heart rate (8 bytes)   uint32 record time (ms), uint16 beats per minute x 100, 2 padding
//   4 metadata               MAssocStrings serial form; one per file, rewritten in place
//   5 regulator state (8)    uint32 record time (ms), active LED, LF amplifier code, LED code, padding
// Little-endian, nothing compressed. Record time is seconds from the first sample written; a
// time stamp precedes the first samples chunk that starts more than 3 s after the previous
// stamp's whole second, so a reader finds any time from the nearest stamp.
//
// One object is either closed, writing (Create: recording or import) or reading (Open: viewer,
// analyses, export, automation, batch tool). The program keeps one (GetPGFiles); tools and
// tests may make more.
//
// Thread: every operation runs on the calling thread and the object is not locked: one thread
// (the main thread) uses it at a time. HeartRateQueue has its own lock and may be drained on
// another thread.

#include "core/HrMeasure.h"
#include "core/MFileStream.h"
#include "core/MString.h"
#include "core/RingedQueueT.h"
#include "dsp/MIsoFilter.h"
#include "storage/MAssocStrings.h"
#include "storage/MMuxer.h"

#include <cstdint>
#include <vector>

class PGFiles {
public:
    // Stream ids of the chunk kinds.
    static constexpr uint8_t kTimeStampId = 1;
    static constexpr uint8_t kSamplesId = 2;
    static constexpr uint8_t kHeartRateId = 3;
    static constexpr uint8_t kMetadataId = 4;
    static constexpr uint8_t kRegulatorId = 5;
    static constexpr int32_t kTimeStampSize = 12;
    static constexpr int32_t kHeartRateSize = 8;
    static constexpr int32_t kRegulatorSize = 8;
    static constexpr uint16_t kAmplitudeDivisor = 10000;

    // A time stamp goes before a block that starts more than this after the last stamp's
    // whole second (record seconds).
    static constexpr double kStampInterval = 3.0;
    // Written samples reach the file (leave the stream's window) at least this often in record
    // time, so a crash or kill loses at most this much of a recording.
    static constexpr double kFlushInterval = 2.0;
    static constexpr int kHeartRateQueueCapacity = 32;
    static constexpr int kIsoFilterCapacity = 10000;
    // Raw samples fed to the isoline filter at a time.
    static constexpr int32_t kIsoFeedBlock = 500;
    // With isoline correction, SeekTime starts this many seconds early to warm the filter up.
    static constexpr double kIsoPreroll = 2.0;

    enum class OpenMode {
        // Close stores Metadata in the file (reopening it for writing) unless the stored
        // metadata chunk, the file's last chunk, already holds exactly these entries.
        Update,
        // The file is never written: not its bytes, not its modification time.
        ReadOnly,
    };

    // Payload of a time stamp as last written or read.
    struct TimeStamp {
        int32_t wallClock = 0; // seconds since 1970-01-01 UTC
        uint32_t timeMs = 0;   // record time of the next sample, ms
        uint16_t periodMs = 0; // sample period, ms
        uint16_t divisor = 0;  // amplitude divisor
    };
    // Payload of a heart-rate chunk as last written or read.
    struct HeartRate {
        uint32_t timeMs = 0;
        uint16_t hr100 = 0; // beats per minute x 100
    };
    // Payload of a regulator-state chunk as last written or read.
    struct RegulatorState {
        uint32_t timeMs = 0;
        uint8_t activeLed = 0; // 1 internal red, 2 clip red, 3 clip infrared
        uint8_t lfCode = 0;
        uint8_t ledCode = 0;
    };
    // Where the reader is: the current chunk and the bytes of it already returned.
    struct ReadPosition {
        int64_t chunk = -1; // offset of the current chunk; -1 when there is none
        int32_t offset = 0;
        bool operator==(const ReadPosition&) const = default;
    };

    PGFiles();
    ~PGFiles(); // Close
    PGFiles(const PGFiles&) = delete;
    PGFiles& operator=(const PGFiles&) = delete;

    // Closes, then creates or truncates path for writing. False (and closed) when it cannot
    // be created.
    bool Create(const MString& path);
    // Closes, then opens an existing file for reading: loads Metadata, StartTime and EndTime
    // and puts the reader on the first chunk, with the first time stamp's period and divisor.
    // False (and closed) only when the file cannot be opened; a file without chunks or time
    // stamps opens with StartTime = EndTime = -1.
    bool Open(const MString& path, OpenMode mode = OpenMode::Update);
    // Stores Metadata (after Create always; after Open as OpenMode says), closes the file and
    // resets the object; does nothing else when nothing is open. Nothing is stored into a file
    // that cannot be reopened for writing, was replaced under its name, or does not start like
    // a record (a chunk at offset 0 that links to nothing): a foreign file stays as it is.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Opened by Create.
    bool IsWriting() const { return m_fd >= 0 && m_writing; }
    const MString& Path() const { return m_path; }

    // Writing (after Create; refused otherwise). False when refused or a write fails.
    // Samples: values in signal units (clamped to -3.2768 ... 3.2767), period in seconds;
    // refused for n <= 0, period <= 0 or null values.
    bool WriteSamples(const double* values, int32_t n, double period);
    // hr in beats per minute at record time `time` (seconds).
    bool WriteHeartRate(double hr, double time);
    // Stamped with CurrentTime.
    bool WriteRegulatorState(uint8_t lfCode, uint8_t ledCode, uint8_t activeLed);

    // Reading (after Open; 0 when an array is null, n <= 0 or not open for reading).
    // Up to n samples from the reader's position on, fewer at the end. Time stamps met on the
    // way set CurrentTime; heart-rate chunks are pushed onto HeartRateQueue; regulator states
    // update LastActiveLed. At the end further calls return 0 until the file grows.
    int32_t ReadRawSamples(double* values, double* times, int32_t n);
    // Isoline-corrected samples when IsolineCorrection is on (they lag the raw ones and stop
    // a few beats before the end of the file), else ReadRawSamples.
    int32_t ReadSamples(double* values, double* times, int32_t n);
    // Up to n heart-rate entries from the reader's position on (hr in beats per minute, times
    // in record seconds), each also pushed onto HeartRateQueue. Other chunks are passed over
    // unread, so CurrentTime stays.
    int32_t ReadHeartRates(double* hr, double* times, int32_t n);
    // Puts the reader at record time t: the next sample returned is the first one whose time
    // (as a sequential read gives it) is at or after t, so within one period (plus the
    // millisecond a stamp may be truncated by) after t; CurrentTime becomes that time. For t
    // beyond the last stamp the reader stays at that stamp (CurrentTime = EndTime); without any
    // stamp it stays where it is. Heart-rate and regulator chunks passed over between the stamp
    // and the sample are read (heart rates are pushed onto HeartRateQueue). Resets the isoline
    // filter; with IsolineCorrection on and !noPreroll the filter is warmed up from t - 2 s, so
    // that the next corrected sample lies at most 100 sample periods before t. The time is found
    // from a stamp near t (interpolation search on file offsets), so a seek costs the same
    // anywhere in a record of any length. Does nothing unless open for reading. Always true.
    bool SeekTime(double t, bool noPreroll);

    // Heart rate of the heart-rate entry last written or read, beats per minute.
    double CurrentHeartRate() const { return m_hrFields.hr100 * 0.01; }
    // Active LED of the regulator state last written or read.
    uint8_t LastActiveLed() const { return m_regFields.activeLed; }
    // Time of the first and the last time stamp (record seconds); -1 when there is none.
    double StartTime() const { return m_startTime; }
    double EndTime() const { return m_endTime; }
    // Writing: record time of the next sample. Reading: time of the next sample to be returned.
    double CurrentTime() const { return m_currentTime; }

    // The fields last written or read, and the reader's position, for tools and tests.
    const TimeStamp& StampFields() const { return m_stamp; }
    const HeartRate& HeartRateFields() const { return m_hrFields; }
    const RegulatorState& RegulatorFields() const { return m_regFields; }
    ReadPosition GetReadPosition();

    // The record's metadata: loaded by Open, stored by Close, emptied by Close.
    MAssocStrings Metadata;
    // Every heart-rate entry read is pushed here as {hr, time} (capacity 32; a push that would
    // fill it drops what is pending). Locked by the queue itself.
    RingedQueueT<sHrMeasure> HeartRateQueue;
    // Makes ReadSamples isoline-corrected. Set by the settings and the isoline command.
    bool IsolineCorrection = false;

private:
    struct StampRef {
        int64_t pos = -1;
        uint32_t ms = 0;
    };

    bool IsReading() const { return m_fd >= 0 && !m_writing; }
    void ResetFields();
    void StoreMetadata();
    // Where Close writes the metadata chunk of an opened file, and its back link.
    bool LocateMetadataSlot(int64_t& at, int64_t& backLink);
    // From the last chunk (its offset; -1 when there is none).
    void LoadMetadata(int64_t last);
    void LoadTimeRange(int64_t last);

    // Handles the current chunk if it is a time stamp, heart rate or regulator state.
    void ReadTimeStamp();
    bool ReadHeartRate();
    void ReadRegulatorState();
    // Next chunk with read offset 0. At the end the muxer is left just past the last chunk
    // (without a current chunk), so the last chunk is not read twice.
    bool StepForward();

    void PositionAt(double t);
    // The stamps on both sides of target (ms) found by walking from the current chunk; false
    // when there is no chunk at all.
    bool WalkToStamps(int64_t target, StampRef& before, StampRef& after);
    // A time stamp near t from which the walk is short, found by interpolation search on file
    // offsets; false when the record gives no usable range.
    bool FindNearStamp(int64_t target, StampRef& start);
    // Walks forwards over count samples (reading heart rates and regulator states on the way)
    // and leaves the reader on the next one; stops early at the chunk at stopAt.
    enum { kSkipLanded, kSkipReached, kSkipEnd };
    int SkipSamples(int64_t count, int64_t stopAt);

    MMuxer m_mux;
    MFileStream m_stream;
    int m_fd = -1;
    MString m_path;
    bool m_writing = false;
    OpenMode m_mode = OpenMode::Update;

    int32_t m_lastStampSecond = 0;
    // Before any stamp is read, samples are scaled by the one divisor this format uses and
    // times do not advance (the period is unknown).
    TimeStamp m_stamp{0, 0, 0, kAmplitudeDivisor};
    HeartRate m_hrFields;
    RegulatorState m_regFields;
    int32_t m_readOffset = 0;
    double m_startTime = -1.0;
    double m_endTime = -1.0;
    double m_currentTime = 0.0;
    double m_flushedTime = 0.0; // writing: CurrentTime when the stream was last flushed

    // Whether the metadata chunk Open found was the last chunk, and its payload (kept only when
    // small), to tell whether Close needs to write.
    bool m_metaIsLast = false;
    bool m_metaKnown = false;
    bool m_isRecord = false; // opened file starts like a record (or is empty)
    std::vector<uint8_t> m_metaBytes;

    // First and last time stamps (from Open), the bounds of the seek search.
    StampRef m_firstStamp, m_lastStamp;

    std::vector<int16_t> m_writeBuffer;
    static constexpr int32_t kReadBlock = 1024;
    int16_t m_readBuffer[kReadBlock];
    MIsoFilter m_isoFilter;
    double m_isoValues[kIsoFeedBlock];
    double m_isoTimes[kIsoFeedBlock];
};

// The program's record file object, made on first use when create is set (else null until
// then); destroyed at program end. Main thread.
PGFiles* GetPGFiles(bool create = true);
