#pragma once
// A small scriptable HID controller for the transport tests. Devices answer GetFeature with the
// packets queued for them (type 0 when none) and record what SetFeature delivers. Transfers run on
// the transport's reader thread, everything else on the test's thread.

#include "device/IHidController.h"
#include "device/Protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeHidDevice : public IHidDevice {
public:
    FakeHidDevice(uint16_t vid, uint16_t pid, std::string manufacturer, std::string product, std::string path)
        : m_vid(vid), m_pid(pid), m_manufacturer(std::move(manufacturer)), m_product(std::move(product)),
          m_path(std::move(path)) {}

    static std::shared_ptr<FakeHidDevice> Kestrel(const std::string& path) {
        return std::make_shared<FakeHidDevice>(0x16C0, 0x05DF, "mqt-lab", "Kestrel-9", path);
    }
    static std::shared_ptr<FakeHidDevice> Mouse(const std::string& path) {
        return std::make_shared<FakeHidDevice>(0x046D, 0xC077, "Logitech", "USB Optical Mouse", path);
    }

    uint16_t VendorId() const override { return m_vid; }
    uint16_t ProductId() const override { return m_pid; }
    std::string Manufacturer() const override { return m_manufacturer; }
    std::string Product() const override { return m_product; }
    std::string SerialNumber() const override { return "0001"; }
    std::string Path() const override { return m_path; }
    int FeatureReportLength() const override { return featureLength.load(); }

    bool GetFeature(uint8_t* buf, int len, int* error) override {
        ++getCalls;
        std::this_thread::sleep_for(getDelay.load());
        std::lock_guard lock(m_mutex);
        if (failGet.load()) {
            *error = 5;
            return false;
        }
        if (!m_toHost.empty() && len > kPacketSize) {
            std::memcpy(buf + 1, m_toHost.front().data, kPacketSize);
            m_toHost.pop_front();
        }
        return true;
    }

    bool SetFeature(const uint8_t* buf, int len, int* error) override {
        ++setCalls;
        std::lock_guard lock(m_mutex);
        if (failSetCount > 0) {
            --failSetCount;
            *error = 32;
            return false;
        }
        m_reportLengths.push_back(len);
        sBaseCmd p;
        std::memcpy(p.data, buf + 1, kPacketSize);
        m_received.push_back(p);
        m_reportIds.push_back(buf[0]);
        return true;
    }

    void QueueToHost(const sBaseCmd& p) {
        std::lock_guard lock(m_mutex);
        m_toHost.push_back(p);
    }
    bool ToHostEmpty() {
        std::lock_guard lock(m_mutex);
        return m_toHost.empty();
    }
    std::vector<sBaseCmd> Received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    std::vector<int> ReportLengths() {
        std::lock_guard lock(m_mutex);
        return m_reportLengths;
    }
    std::vector<uint8_t> ReportIds() {
        std::lock_guard lock(m_mutex);
        return m_reportIds;
    }
    void FailNextSets(int n) {
        std::lock_guard lock(m_mutex);
        failSetCount = n;
    }

    std::atomic<int> featureLength{kMinFeatureReportLength};
    std::atomic<bool> failGet{false};
    std::atomic<std::chrono::milliseconds> getDelay{std::chrono::milliseconds(0)};
    std::atomic<int> getCalls{0};
    std::atomic<int> setCalls{0};

private:
    const uint16_t m_vid, m_pid;
    const std::string m_manufacturer, m_product, m_path;
    std::mutex m_mutex; // guards everything below
    std::deque<sBaseCmd> m_toHost;
    std::vector<sBaseCmd> m_received;
    std::vector<int> m_reportLengths;
    std::vector<uint8_t> m_reportIds;
    int failSetCount = 0;
};

class FakeHidController : public IHidController {
public:
    explicit FakeHidController(std::atomic<bool>* destroyed = nullptr) : m_destroyed(destroyed) {}
    ~FakeHidController() override {
        if (m_destroyed) *m_destroyed = true;
    }

    void SetListener(Listener* listener) override { m_listener = listener; }

    void Enumerate(const std::function<bool(IHidDevice&, int)>& visit) override {
        m_enumerated = m_present;
        ++enumerations;
        for (size_t i = 0; i < m_enumerated.size(); ++i)
            if (!visit(*m_enumerated[i], static_cast<int>(i))) break;
    }
    std::shared_ptr<IHidDevice> CheckOut(int index) override {
        if (index < 0 || static_cast<size_t>(index) >= m_enumerated.size()) return nullptr;
        if (failCheckOut) {
            if (m_listener) m_listener->OnDeviceCreateError();
            return nullptr;
        }
        ++checkOuts;
        return m_enumerated[static_cast<size_t>(index)];
    }
    void CheckIn(const std::shared_ptr<IHidDevice>&) override { ++checkIns; }

    void Poll() override {
        auto pending = std::move(m_pending);
        m_pending.clear();
        for (auto& [arrival, device] : pending) {
            if (!m_listener) continue;
            if (arrival)
                m_listener->OnDeviceArrival(*device);
            else
                m_listener->OnDeviceUnplug(*device);
        }
    }

    std::string ErrorText(int error) const override { return "fake error " + std::to_string(error); }

    // Test side: devices come and go; the notifications wait for the next Poll.
    void Plug(std::shared_ptr<FakeHidDevice> d) {
        m_present.push_back(d);
        m_pending.emplace_back(true, std::move(d));
    }
    void Unplug(const std::shared_ptr<FakeHidDevice>& d) {
        m_present.erase(std::remove(m_present.begin(), m_present.end(), d), m_present.end());
        m_enumerated.erase(std::remove(m_enumerated.begin(), m_enumerated.end(), d), m_enumerated.end());
        m_pending.emplace_back(false, d);
    }
    // Present from the start, without a notification.
    void Add(std::shared_ptr<FakeHidDevice> d) { m_present.push_back(std::move(d)); }

    int enumerations = 0;
    int checkOuts = 0;
    int checkIns = 0;
    bool failCheckOut = false;

private:
    std::atomic<bool>* m_destroyed;
    Listener* m_listener = nullptr;
    std::vector<std::shared_ptr<FakeHidDevice>> m_present;
    std::vector<std::shared_ptr<FakeHidDevice>> m_enumerated;
    std::vector<std::pair<bool, std::shared_ptr<FakeHidDevice>>> m_pending;
};
