#include "acquisition/CalcHb.h"

#include "acquisition/AppEvents.h"
#include "acquisition/SampleBlob.h"
#include "device/DeviceState.h"

cbCalcHb::cbCalcHb() {
    m_calc.Reset();
}

int cbCalcHb::OnEvent(int id, int count, void* data, int value) {
    auto* blob = static_cast<sSampleBlob*>(data);
    if (id != kEventFilteredBlob || !blob) return 0;
    // A re-centring amplifier gives no pulse wave.
    if (StatusRecoveryActive(GetSavedStatus().Packet())) return 0;
    m_calc.Process(blob->Times(), blob->Values(), blob->count);

    RingedQueueT<sHrMeasure>& results = m_calc.Results();
    sHrMeasure* passed = nullptr;
    {
        MAutoLock lock(results.Lock());
        sHrMeasure beat;
        if (results.TryPop(beat)) {
            m_displayedHr = static_cast<float>(m_calc.Hr());
            passed = &m_passed[m_nextPassed];
            *passed = beat;
            m_nextPassed = (m_nextPassed + 1) % kResultCapacity;
        }
    }
    if (passed)
        if (MEventManager* em = GetEventManager(false)) em->Raise(kEventHeartBeat, passed, 0);
    return 0;
}
