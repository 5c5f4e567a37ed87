#pragma once
// Reading a HID report descriptor (bytes the device supplies, so every length is checked).

#include <cstddef>
#include <cstdint>

// Longest feature report declared by a HID report descriptor, in bytes including the report id
// byte; 0 when the descriptor declares no feature report or cannot be parsed.
int FeatureReportLengthFromDescriptor(const uint8_t* descriptor, size_t size);
