#include "acquisition/FilterPoints.h"

#include "acquisition/AppEvents.h"
#include "acquisition/SampleBlob.h"

cbFilterPoints::cbFilterPoints() {
    m_filter.Reset();
    m_filter.AddResponsePoint(0.0, 5.0);
    m_filter.AddResponsePoint(1.0, 20.0);
}

int cbFilterPoints::OnEvent(int id, int count, void* data, int value) {
    auto* raw = static_cast<sSampleBlob*>(data);
    if (id != kEventRawBlob || !raw) return 0;
    m_filter.PutPoints(raw->Values(), raw->Times(), raw->count);
    const int n = m_filter.OutputCount();
    if (n < kMinBlob) return 0;
    MEventManager* em = GetEventManager(false);
    if (!em) return 0;
    sSampleBlob* out = AcquireBlob();
    if (!out) return 0; // the samples wait in the filter for the next blob
    if (!out->Resize(n) || m_filter.GetPoints(out->Values(), out->Times(), n) != n) {
        GetBlobManager(true)->ReleaseBlob(out);
        return 0;
    }
    em->Raise(kEventFilteredBlob, out, 0);
    return 0;
}
