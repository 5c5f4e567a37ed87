#pragma once
// Live heart rate: the first listener of every filtered blob (event 3) feeds the live beat
// detector and passes at most one detected beat per blob on as event 5; further beats wait for
// the following blobs. While the device re-centres a saturated signal (baseline recovery) the
// signal is not analysed at all. When the pulse is lost the last rate stays displayed.
//
// Thread: main thread (event delivery). The detector's result queue locks itself.

#include "core/MEventManager.h"
#include "dsp/HBR_Calculator.h"

class cbCalcHb final : public MEventCallback {
public:
    static constexpr int kResultCapacity = 32;

    cbCalcHb();
    int OnEvent(int id, int count, void* data, int value) override;

    HBR_Calculator& Calculator() { return m_calc; }
    // The detector's rate (beats per minute) when a beat was last passed on; 0 before the first.
    float DisplayedHr() const { return m_displayedHr; }

private:
    HBR_Calculator m_calc{kResultCapacity};
    float m_displayedHr = 0;
    // Beats passed on with event 5. Each event points at its own slot, which stays untouched
    // for the next kResultCapacity beats, whatever the detector's queue does meanwhile.
    sHrMeasure m_passed[kResultCapacity];
    int m_nextPassed = 0;
};
