#pragma once
// Byte buffer carried by a variant (type 4).

#include <cstddef>
#include <cstdint>
#include <vector>

class MBlob {
public:
    MBlob() = default;
    MBlob(const void* data, size_t size) { Assign(data, size); }

    void Assign(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        m_bytes.assign(p, p + size);
    }
    void Clear() { m_bytes.clear(); }

    const uint8_t* Data() const { return m_bytes.data(); }
    uint8_t* Data() { return m_bytes.data(); }
    size_t Size() const { return m_bytes.size(); }
    bool IsEmpty() const { return m_bytes.empty(); }
    std::vector<uint8_t>& Bytes() { return m_bytes; }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

    friend bool operator==(const MBlob& a, const MBlob& b) { return a.m_bytes == b.m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};
