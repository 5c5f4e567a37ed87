#pragma once
// What the window's record commands set and the recorder reads: whether a recording runs and
// the recording clock, the time axis of the record being written.
//
// Thread: main thread only.

inline constexpr int kRecordingStopped = 1;
inline constexpr int kRecordingPaused = 2;
inline constexpr int kRecordingActive = 3;

struct sRecordingState {
    int state = kRecordingStopped;
    // Seconds on the record's time axis of the next sample the recorder passes on; the record
    // commands set it to 0 when a recording starts.
    double clock = 0;

    bool Recording() const { return state == kRecordingActive; }
};

// The one recording state of the program; lives for the whole process.
sRecordingState& GetRecordingState();
