#pragma once
// Golden-bytes comparison for file-format tests: on a mismatch the actual bytes are written
// to <name>.actual in the working directory so they can be inspected with a hex viewer.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace golden {

inline std::string Hex(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    std::string s;
    char buf[4];
    for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", bytes[i]);
        s += buf;
    }
    return s;
}

// Expands to a gtest failure naming the first differing offset.
inline ::testing::AssertionResult Bytes(const std::string& name, const std::vector<uint8_t>& expected,
                                        const std::vector<uint8_t>& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    std::ofstream(name + ".actual", std::ios::binary)
        .write(reinterpret_cast<const char*>(actual.data()), static_cast<std::streamsize>(actual.size()));
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
    size_t from = i >= 8 ? i - 8 : 0;
    return ::testing::AssertionFailure()
           << name << ": " << actual.size() << " bytes, expected " << expected.size()
           << "; first difference at " << i << "\n  expected: " << Hex(expected, from, 24)
           << "\n  actual:   " << Hex(actual, from, 24) << "\n  (actual bytes written to " << name
           << ".actual)";
}

} // namespace golden
