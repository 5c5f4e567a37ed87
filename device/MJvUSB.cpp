#include "device/MJvUSB.h"

#include "core/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto kLoopSleep = 3ms;
constexpr int kReadAttempts = 10;
constexpr int kWriteAttempts = 100;
constexpr auto kWriteRetrySleep = 10ms;
constexpr auto kDisconnectPause = 100ms;

const std::string& FatalLine() {
    static const std::string line(43, 'X');
    return line;
}

} // namespace

struct MJvUSB::sShared {
    std::atomic<bool> stopping{false}; // set by the destructor

    mutable std::mutex deviceLock;      // guards device only; held for the copy, never across calls
    std::shared_ptr<IHidDevice> device; // null = not connected; written by the main thread

    RingedQueueT<sBaseCmd> receive{kQueueCapacity}; // own lock
    RingedQueueT<sBaseCmd> send{kQueueCapacity};    // own lock

    // Main thread, except ErrorText, which the reader calls.
    std::shared_ptr<IHidController> controller;

    std::shared_ptr<IHidDevice> Device() const {
        std::lock_guard lock(deviceLock);
        return device;
    }
    std::shared_ptr<IHidDevice> Exchange(std::shared_ptr<IHidDevice> next) {
        std::lock_guard lock(deviceLock);
        std::swap(device, next);
        return next;
    }
    bool Stopping() const {
        return stopping.load(std::memory_order_acquire) || ThreadManager::CurrentThreadStopRequested();
    }
};

// The reader's loop, on the reader thread.
class MJvUSBReader {
public:
    explicit MJvUSBReader(MJvUSB::sShared& s) : m_s(s) {}

    int Run() {
        bool readPhase = true;
        while (!m_s.Stopping()) {
            std::this_thread::sleep_for(kLoopSleep);
            const auto device = m_s.Device();
            if (device && device->FeatureReportLength() > 0) {
                if (readPhase)
                    ReadPhase();
                else
                    WritePhase();
            }
            readPhase = !readPhase;
        }
        return 0;
    }

private:
    // Sizes the buffer for the device and zeroes it; reuses its storage across transfers.
    void Prepare(const IHidDevice& device) {
        m_buffer.assign(static_cast<size_t>(std::max(device.FeatureReportLength(), 0)), 0);
    }

    std::string ErrorText(const IHidDevice& device, int error) const {
        std::string text = device.LastErrorText();
        if (text.empty() && m_s.controller) text = m_s.controller->ErrorText(error);
        return text;
    }

    void ReadPhase() {
        bool ok = false;
        for (int attempt = 0; attempt < kReadAttempts && !ok; ++attempt) {
            const auto device = m_s.Device();
            if (!device) break;
            Prepare(*device);
            if (m_buffer.empty()) break;
            int error = 0;
            ok = device->GetFeature(m_buffer.data(), static_cast<int>(m_buffer.size()), &error);
            if (!ok)
                LogMessage("GetFeature Error " + ErrorText(*device, error) + " " + std::to_string(error));
        }
        if (!ok) {
            LogMessage(FatalLine());
            LogMessage("Fatal Error occured while requesting data from the device!");
            return;
        }
        sBaseCmd packet; // bytes the report does not carry stay zero
        std::memcpy(packet.data, m_buffer.data() + 1, std::min<size_t>(kPacketSize, m_buffer.size() - 1));
        switch (ClassifyReceived(packet)) {
            case ReceiveAction::Ignore:
            case ReceiveAction::Drop:
                break;
            case ReceiveAction::ChecksumError:
                LogMessage("CRC Error, ComId=" + std::to_string(packet.Type()) +
                           " CRC=" + std::to_string(packet.Checksum()));
                break;
            case ReceiveAction::Queue:
                m_s.receive.Push(packet);
                break;
        }
    }

    void WritePhase() {
        sBaseCmd packet;
        if (!m_s.send.TryPop(packet)) return;
        bool ok = false;
        for (int attempt = 0; attempt < kWriteAttempts && !ok; ++attempt) {
            if (attempt > 0) {
                std::this_thread::sleep_for(kWriteRetrySleep);
                if (m_s.Stopping()) break;
            }
            const auto device = m_s.Device();
            if (!device) break;
            Prepare(*device);
            if (m_buffer.size() < 2) break;
            m_buffer[0] = 0; // report id
            std::memcpy(m_buffer.data() + 1, packet.data, std::min<size_t>(kPacketSize, m_buffer.size() - 1));
            int error = 0;
            ok = device->SetFeature(m_buffer.data(), static_cast<int>(m_buffer.size()), &error);
        }
        if (!ok) { // the command is lost, not requeued
            LogMessage(FatalLine());
            LogMessage("Fatal Error occured while sending data to the device!");
        }
    }

    MJvUSB::sShared& m_s;
    std::vector<uint8_t> m_buffer;
};

MJvUSB::MJvUSB(std::unique_ptr<IHidController> controller) : m_shared(std::make_shared<sShared>()) {
    m_shared->controller = std::move(controller);
    if (m_shared->controller) m_shared->controller->SetListener(this);
    // The thread owns a reference of its own (freed by the thread).
    auto* argument = new std::shared_ptr<sShared>(m_shared);
    m_reader = StartThread(&MJvUSB::ReaderMain, argument, false);
    if (!m_reader) {
        delete argument;
        LogMessage("HID reader thread could not be started");
    }
}

MJvUSB::~MJvUSB() {
    m_shared->stopping.store(true, std::memory_order_release);
    Disconnect();
    StopAllThreads();
    if (m_shared->controller) m_shared->controller->SetListener(nullptr);
    // Normally the last reference: destroys the controller, then the queues. A reader that had to
    // be given up keeps them until it ends.
    m_shared.reset();
}

int MJvUSB::ReaderMain(void* argument) {
    std::shared_ptr<sShared> shared;
    {
        auto* holder = static_cast<std::shared_ptr<sShared>*>(argument);
        shared = std::move(*holder);
        delete holder;
    }
    return MJvUSBReader(*shared).Run();
}

bool MJvUSB::Matches(const IHidDevice& device) {
    return device.VendorId() == kVendorId && device.ProductId() == kProductId &&
           device.Manufacturer() == kManufacturer && device.Product() == kProduct;
}

bool MJvUSB::IsConnected() const {
    return m_shared->Device() != nullptr;
}

std::shared_ptr<IHidDevice> MJvUSB::Device() const {
    return m_shared->Device();
}

RingedQueueT<sBaseCmd>& MJvUSB::ReceiveQueue() {
    return m_shared->receive;
}

RingedQueueT<sBaseCmd>& MJvUSB::SendQueue() {
    return m_shared->send;
}

IHidController& MJvUSB::Controller() {
    return *m_shared->controller;
}

std::shared_ptr<IHidDevice> MJvUSB::Release() {
    auto old = m_shared->Exchange(nullptr);
    if (old && m_shared->controller) m_shared->controller->CheckIn(old);
    return old;
}

void MJvUSB::Connect() {
    Release();
    if (!m_shared->controller) return;
    m_shared->controller->Enumerate(
        [this](IHidDevice& device, int index) { return OnEnumerate(device, index); });
}

bool MJvUSB::OnEnumerate(IHidDevice& device, int index) {
    if (!Matches(device)) return true;
    Release();
    auto taken = m_shared->controller->CheckOut(index);
    if (!taken) return true;
    m_shared->Exchange(taken);
    LogMessage("Enumerate has found " + device.Product());
    if (m_onConnect) m_onConnect();
    return true; // several matches: the last one enumerated stays
}

void MJvUSB::Disconnect() {
    if (auto old = Release()) LogMessage("Device " + old->Product() + " disconnected");
    // Callers rely on the reader having left any transfer on the old device when this returns
    // (for example before the port is powered down); the shared reference alone does not wait.
    std::this_thread::sleep_for(kDisconnectPause);
}

void MJvUSB::Send(const sBaseCmd& packet) {
    sBaseCmd copy = packet;
    copy[kPacketSize - 1] = CommandChecksum(copy);
    m_shared->send.Push(copy);
}

void MJvUSB::Poll() {
    if (m_shared->controller) m_shared->controller->Poll();
}

void MJvUSB::OnDeviceArrival(IHidDevice& device) {
    LogMessage("DeviceArrival " + device.Product());
    if (!IsConnected()) Connect();
}

void MJvUSB::OnDeviceUnplug(IHidDevice& device) {
    if (m_shared->stopping.load(std::memory_order_acquire)) return;
    // Only the removal of the device we hold releases it; other HID devices come and go freely.
    const auto current = m_shared->Device();
    const bool ours =
        current && (current.get() == &device || (!device.Path().empty() && current->Path() == device.Path()));
    if (ours) Disconnect();
    LogMessage("DeviceUnplug " + device.Product());
}

void MJvUSB::OnDeviceCreateError() {
    LogMessage("HidDCOnDeviceCreateError");
}
