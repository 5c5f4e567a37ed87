#include "acquisition/WriteSamples.h"

#include "acquisition/AppEvents.h"
#include "acquisition/AutoRegulator.h"
#include "acquisition/CalcHb.h"
#include "acquisition/RecordingState.h"
#include "acquisition/SampleBlob.h"
#include "device/DeviceState.h"
#include "storage/PGFiles.h"

#include <cmath>

cbWriteSamples::cbWriteSamples(cAutoRegulator* regulator, cbCalcHb* hb) : m_regulator(regulator), m_hb(hb) {}

int cbWriteSamples::OnEvent(int id, int count, void* data, int value) {
    sRecordingState& rec = GetRecordingState();
    if (!rec.Recording()) return 0;
    PGFiles* file = GetPGFiles(true);
    if (!file) return 0;

    switch (id) {
        case kEventFilteredBlob: {
            auto* blob = static_cast<sSampleBlob*>(data);
            if (!blob) break;
            file->WriteSamples(blob->Values(), blob->count, kSamplePeriod);
            MEventManager* em = GetEventManager(false);
            sSampleBlob* out = em ? AcquireBlob() : nullptr;
            if (out && out->Resize(blob->count)) {
                double* times = out->Times();
                double* values = out->Values();
                for (int i = 0; i < blob->count; ++i) {
                    values[i] = blob->values[static_cast<size_t>(i)];
                    times[i] = rec.clock;
                    rec.clock += kSamplePeriod;
                }
                em->Raise(kEventRecordedBlob, out, 0);
            } else {
                // No blob for the copy: the recording clock still moves with the samples written.
                if (out) GetBlobManager(true)->ReleaseBlob(out);
                rec.clock += kSamplePeriod * blob->count;
            }
            break;
        }
        case kEventHeartBeat: {
            const auto* beat = static_cast<const sHrMeasure*>(data);
            if (!beat) break;
            const double now = file->CurrentTime();
            double t = beat->time + m_hrOffset;
            if (std::fabs(t - now) > kMaxBeatDrift) {
                m_hrOffset = now - beat->time;
                t = beat->time + m_hrOffset;
            }
            const double hr = m_hb ? m_hb->Calculator().Hr() : beat->hr;
            file->WriteHeartRate(hr, t);
            break;
        }
        case kEventLedChanged:
            WriteRegulatorState(*file);
            break;
        default:
            break;
    }
    return 0;
}

void cbWriteSamples::Run() {
    if (m_regulator) m_regulator->SaveMaps();
    if (!GetRecordingState().Recording()) return;
    if (PGFiles* file = GetPGFiles(true)) WriteRegulatorState(*file);
}

void cbWriteSamples::WriteRegulatorState(PGFiles& file) {
    const sBaseCmd& s = GetSavedStatus().Packet();
    // A new recording forces the next status packet to count as an LED change; until that packet
    // comes, the saved LED is a placeholder, not a device state (the change writes the real one).
    if (StatusActiveLed(s) == kLedForceChange) return;
    file.WriteRegulatorState(StatusLfCode(s), StatusDriveCode(s), StatusActiveLed(s));
}
