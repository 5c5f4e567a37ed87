#include "acquisition/Acquisition.h"

#include "acquisition/AppEvents.h"
#include "core/MEventManager.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"

#include <new>

namespace {

// Main thread only.
std::unique_ptr<cAcquisition> g_acquisition;
MJvUSB* g_usb = nullptr; // the transport the configure-on-connect routine is installed on

} // namespace

cAcquisition::cAcquisition(IDeviceLink* link)
    : m_link(link), m_deviceTask(link, &m_rawQueue), m_regulator(link, m_deviceTask.Stats()),
      m_recorder(&m_regulator, &m_calcHb) {
    m_rawQueue.SetMaxSize(c_devicetask::kRawQueueMaxSize);
}

cAcquisition::~cAcquisition() = default; // tasks and listeners take themselves out

bool cAcquisition::Start() {
    MEventManager* em = GetEventManager(true);
    if (!em || !GetBlobManager(true)) return false;
    bool ok = true;
    ok &= em->Subscribe(&m_release, kEventRawBlob, kPriorityBlobRelease);
    ok &= em->Subscribe(&m_release, kEventFilteredBlob, kPriorityBlobRelease);
    ok &= em->Subscribe(&m_release, kEventRecordedBlob, kPriorityBlobRelease);
    m_deviceTask.TaskManager().AddTask(&m_deviceTask, 0, c_devicetask::kPeriodMs);
    ok &= em->Subscribe(&m_filter, kEventRawBlob, kPriorityFilterPoints);
    ok &= em->Subscribe(&m_calcHb, kEventFilteredBlob, kPriorityCalcHb);
    ok &= em->Subscribe(&m_recorder, kEventLedChanged, kPriorityWriteSamples);
    ok &= em->Subscribe(&m_recorder, kEventFilteredBlob, kPriorityWriteSamples);
    ok &= em->Subscribe(&m_recorder, kEventHeartBeat, kPriorityWriteSamples);
    m_recorder.TaskManager().AddTask(&m_recorder, 0, cbWriteSamples::kPeriodMs);
    ok &= em->Subscribe(&m_regulator, kEventStatus, kPriorityRegulator);
    m_regulator.TaskManager().AddTask(&m_regulator, 0, cAutoRegulator::kPeriodMs);
    return ok;
}

void cAcquisition::SendCommand() {
    cCommandBuffer& c = GetCommandBuffer();
    StampChecksum(c.Packet());
    if (m_link) m_link->Send(c.Packet());
}

bool StartAcquisition(IDeviceLink* link) {
    StopAcquisition();
    std::unique_ptr<cAcquisition> module(new (std::nothrow) cAcquisition(link));
    if (!module) return false;
    if (!module->Start()) return false;
    g_acquisition = std::move(module);
    return true;
}

bool StartAcquisition(MJvUSB* usb) {
    StopAcquisition();
    std::unique_ptr<cUsbDeviceLink> link;
    if (usb) {
        link.reset(new (std::nothrow) cUsbDeviceLink(*usb));
        if (!link) return false;
    }
    if (!StartAcquisition(link.get())) return false;
    g_acquisition->m_ownLink = std::move(link);
    if (usb) {
        usb->SetOnConnect([] { ConfigureOnConnect(); });
        g_usb = usb;
    }
    return true;
}

void StopAcquisition() {
    // Deliver what is queued while the listeners still exist: a queued heart beat points into the
    // module, and a later module must not be handed events of this one.
    if (g_acquisition)
        if (MEventManager* em = GetEventManager(false)) em->Run();
    if (g_usb) {
        g_usb->SetOnConnect(nullptr);
        g_usb = nullptr;
    }
    g_acquisition.reset();
}

cAcquisition* GetAcquisition() {
    return g_acquisition.get();
}

void ConfigureOnConnect() {
    int led = kLedInternalRed;
    if (const MVarArray* root = GetSettings(true))
        if (const MVarArray* node = root->Find(MVariant("ActiveLed"))) led = node->Value().AsInt();
    if (led != kLedInternalRed && led != kLedClipRed && led != kLedClipInfrared) led = kLedInternalRed;
    GetCommandBuffer().Configure(static_cast<uint8_t>(led));
    cAcquisition* a = GetAcquisition();
    if (!a) {
        StampChecksum(GetCommandBuffer().Packet());
        return;
    }
    a->SendCommand();
    a->DeviceTask().SetResync();
    a->Regulator().LoadMaps();
}

void SelectLed(uint8_t led) {
    cCommandBuffer& c = GetCommandBuffer();
    c.SetLed(led);
    cAcquisition* a = GetAcquisition();
    if (led == kLedClipRed || led == kLedClipInfrared) {
        c.SetDrive(kConnectDriveCode);
        if (a) a->Regulator().SkipNextStep();
    }
    if (a) a->SendCommand();
}

void SetDriveCode(uint8_t code) {
    GetCommandBuffer().SetDrive(code);
    if (cAcquisition* a = GetAcquisition()) a->SendCommand();
}

void SetLfCode(uint8_t code) {
    GetCommandBuffer().SetLf(code);
    if (cAcquisition* a = GetAcquisition()) a->SendCommand();
}

float GetDisplayedHeartRate() {
    cAcquisition* a = GetAcquisition();
    return a ? a->CalcHb().DisplayedHr() : 0.0f;
}

bool RegulatorSettled() {
    cAcquisition* a = GetAcquisition();
    return a && a->Regulator().Settled();
}
