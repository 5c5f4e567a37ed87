#pragma once
// A scriptable stand-in for the hid_* functions the hidapi backend calls, linked into the device
// tests instead of libhidapi. Devices are described by what hid_enumerate reports; opened devices
// answer get-feature with queued reports and record set-feature reports. Thread-safe.

#include <cstdint>
#include <string>
#include <vector>

namespace testhid {

struct Device {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serial;
    bool nullStrings = false; // report null string pointers
};

// Back to no devices, no failures, nothing open.
void Reset();
void SetDevices(std::vector<Device> devices);
void FailInit(bool fail);
void FailNextOpen(const std::string& path);
// get-feature answers: -1 with errno = error (0 leaves errno alone) and this hid_error text
void FailGetFeature(int error, const std::wstring& text);
// Reports handed out by get-feature, oldest first (each is the whole buffer, report id first).
void QueueFeatureReport(std::vector<uint8_t> report);
std::vector<std::vector<uint8_t>> SentFeatureReports();

int InitCalls();
int ExitCalls();
int OpenHandles();

} // namespace testhid
