#pragma once
// The first listener of every raw blob (event 2): feeds the live rejection filter, which removes
// the signal's high-frequency noise, and passes the filtered samples on as event 3 once at least
// 30 of them are ready (all that are ready, in one blob).
//
// Thread: main thread (event delivery).

#include "core/MEventManager.h"
#include "dsp/MRejectionFilter.h"

class cbFilterPoints final : public MEventCallback {
public:
    // Filtered samples held back until at least this many are ready.
    static constexpr int kMinBlob = 30;

    // Configures the live response: gain 0 at 5 Hz, 1 at 20 Hz.
    cbFilterPoints();
    int OnEvent(int id, int count, void* data, int value) override;

    MRejectionFilter& Filter() { return m_filter; }

private:
    MRejectionFilter m_filter;
};
