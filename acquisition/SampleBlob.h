#pragma once
// Pooled blocks of samples carried by the blob events (2, 3, 4). The producer of a blob takes it
// from the pool, sizes it, fills it and raises its event; the release listener, the last
// listener of every blob event, returns it to the pool once every other listener has run. In
// steady state the pool holds a handful of blobs and nothing is allocated per packet; blobs that
// have been idle for a minute are freed, one per second.
//
// Thread: the pool is locked, but in this program every blob is handed out and released on the
// main thread, inside scheduler tasks and event deliveries.

#include "core/MCriticalSection.h"
#include "core/MEventManager.h"
#include "core/MTaskManager.h"

#include <cstdint>
#include <memory>
#include <vector>

struct sSampleBlob {
    std::vector<double> times;  // seconds
    std::vector<double> values; // signal units: ADC units / 4095
    int count = 0;              // valid samples; the arrays hold at least this many
    bool inUse = false;         // handed out and not yet released (pool lock)
    uint32_t lastAcquired = 0;  // GetTickCount() when last handed out

    // count = n, growing the arrays when needed (they never shrink). False when memory runs out.
    bool Resize(int n);
    double* Times() { return times.data(); }
    double* Values() { return values.data(); }
};

class cSampleBlobManager final : public MTaskBase {
public:
    static constexpr float kPeriodMs = 1000;
    // A blob not handed out for longer than this is freed by the pool task.
    static constexpr uint32_t kIdleMs = 60'000;

    // Adds itself to the scheduler.
    cSampleBlobManager();
    ~cSampleBlobManager() override;

    // The first blob that is not in use, or a new one when all are; marked in use and stamped.
    // Null only when memory runs out.
    sSampleBlob* AcquireBlob();
    // Returns a blob to the pool (null is ignored).
    void ReleaseBlob(sSampleBlob* blob);
    // Frees the first blob that is not in use and was last handed out more than kIdleMs ago.
    void Run() override;

    int Count();
    int CountInUse();

private:
    MCriticalSection m_lock;                           // guards m_blobs and the blobs' flags
    std::vector<std::unique_ptr<sSampleBlob>> m_blobs; // pool order
};

// The process-wide pool. create = true builds it on first use; create = false returns it or null.
cSampleBlobManager* GetBlobManager(bool create);
// Destroys the pool. Only once no blob event can be delivered any more (after the acquisition
// module has stopped and the event manager has been shut down): pending events point into it.
void ShutdownBlobManager();
// AcquireBlob of the process-wide pool.
sSampleBlob* AcquireBlob();

// The last listener of events 2, 3 and 4: returns the event's blob to the pool.
class cSamplesFinalCallback final : public MEventCallback {
public:
    int OnEvent(int id, int count, void* data, int value) override;
};
