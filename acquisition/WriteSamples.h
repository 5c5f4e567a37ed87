#pragma once
// The recorder. While a recording runs (recording state 3) it writes every filtered blob
// (event 3) to the record file and passes a copy on as event 4, stamped on the recording clock;
// it writes each heart beat passed on (event 5) as a heart-rate entry and the device state when
// the active LED changes (event 0) and every 3 s. Its task also saves the learned LED maps into
// the settings every 3 s, recording or not.
//
// Beat times come on the device's data clock; the heart-rate offset maps them onto the record's
// time axis. It is set by the first beat of a recording (or after a drift above 5 s) and then
// held, so beats keep their spacing.
//
// Thread: main thread (scheduler task and event delivery).

#include "core/MEventManager.h"
#include "core/MTaskManager.h"

class PGFiles;
class cAutoRegulator;
class cbCalcHb;

class cbWriteSamples final : public MTaskBase, public MEventCallback {
public:
    static constexpr float kPeriodMs = 3000;
    static constexpr double kSamplePeriod = 0.002;
    // A beat further than this from the record's current time re-anchors the offset.
    static constexpr double kMaxBeatDrift = 5.0;

    // regulator (maps) and hb (current rate) may be null.
    cbWriteSamples(cAutoRegulator* regulator, cbCalcHb* hb);

    int OnEvent(int id, int count, void* data, int value) override;
    void Run() override;

    double HrOffset() const { return m_hrOffset; }

private:
    void WriteRegulatorState(PGFiles& file);

    cAutoRegulator* m_regulator;
    cbCalcHb* m_hb;
    double m_hrOffset = 0; // record time - data clock time of beats, seconds
};
