#pragma once
// The HID transport: finds the photoplethysmograph among the HID devices, holds it while connected
// and moves packets between the device and two queues on its own reader thread, which polls the
// device with feature reports. The main thread never talks to the device: it queues commands with
// Send and the device task drains ReceiveQueue.
//
// Threads: everything here is main-thread API except the queues (locked) and IsConnected/Device.
// The reader thread takes a shared reference to the device before every phase and every attempt,
// so a device released by the main thread is freed only after the reader has left its transfer.
//
// Hot-plug: the program calls Poll() once a second on the main thread; the controller's first poll
// reports every present device as an arrival, so a photoplethysmograph that is plugged in at start
// connects without a command.

#include "core/RingedQueueT.h"
#include "core/ThreadManager.h"
#include "device/IHidController.h"
#include "device/Protocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MJvUSB : public ThreadManager, private IHidController::Listener {
public:
    static constexpr uint16_t kVendorId = 0x16C0;
    static constexpr uint16_t kProductId = 0x05DF;
    static constexpr const char* kManufacturer = "mqt-lab";
    static constexpr const char* kProduct = "Kestrel-9";
    static constexpr int kQueueCapacity = 512;

    // Takes the controller, installs itself as its listener and starts the reader thread.
    explicit MJvUSB(std::unique_ptr<IHidController> controller);
    // Stops the reader, releases the device, then destroys the controller and the queues.
    ~MJvUSB() override;

    // The ids and exactly these manufacturer and product strings (case-sensitive, untrimmed).
    static bool Matches(const IHidDevice& device);

    bool IsConnected() const;
    // The device taken, or null. Any thread.
    std::shared_ptr<IHidDevice> Device() const;

    // Releases the current device, then takes every matching device the controller enumerates in
    // turn, so the last one stays; the on-connect routine runs once per device taken.
    void Connect();
    // Returns the device to the controller and pauses 100 ms.
    void Disconnect();
    // Stores the command checksum into byte 31 and queues the packet; queued commands wait for the
    // next connect while no device is taken.
    void Send(const sBaseCmd& packet);
    // Main-thread hot-plug scan; arrivals and removals come back as notifications.
    void Poll();

    // Called on the main thread after a device has been taken (the configure-on-connect command).
    void SetOnConnect(std::function<void()> routine) { m_onConnect = std::move(routine); }

    // Packets read from the device, oldest first (reader -> device task).
    RingedQueueT<sBaseCmd>& ReceiveQueue();
    // Commands waiting for the reader's write phase (main thread -> reader).
    RingedQueueT<sBaseCmd>& SendQueue();
    IHidController& Controller();

private:
    friend class MJvUSBReader;
    struct sShared;

    void OnDeviceArrival(IHidDevice& device) override;
    void OnDeviceUnplug(IHidDevice& device) override;
    void OnDeviceCreateError() override;

    bool OnEnumerate(IHidDevice& device, int index);
    // Takes the device out of the shared reference and checks it in; returns what was taken.
    std::shared_ptr<IHidDevice> Release();

    static int ReaderMain(void* argument);

    // What the reader thread uses, shared with it so that a reader that has to be given up at
    // destruction never touches freed memory.
    std::shared_ptr<sShared> m_shared;
    MThreadHandle m_reader;
    std::function<void()> m_onConnect; // main thread
};
