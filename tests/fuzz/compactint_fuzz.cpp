// Decodes compact integers from arbitrary bytes: a decoded value re-encodes to a form that
// decodes to the same value, and comparisons agree with the integers the values stand for.

#include "core/MCompactInt.h"
#include "core/MStream.h"

#include <cstdint>
#include <cstring>

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// True when the value is exactly representable as int64 (no saturation).
bool FitsInt64(const MCompactInt& v) {
    if (v.Length() < 8) return true;
    if (v.Length() > 8) return false;
    const uint8_t top = v.Magnitude()[7];
    if (top < 0x80) return true;
    if (!v.IsNegative() || top != 0x80) return false;
    for (int i = 0; i < 7; ++i)
        if (v.Magnitude()[i] != 0) return false;
    return true; // -2^63
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MCompactInt a;
    const int32_t used = a.Decode(data, size);
    if (used == 0) {
        Check(size == 0 || size < size_t(data[0] >> 3) + 1);
        return 0;
    }
    Check(used == (data[0] >> 3) + 1);
    Check(a.Length() <= MCompactInt::kMaxMagnitude);
    Check(a.Length() == 0 || a.Magnitude()[a.Length() - 1] != 0);

    // Re-encode, decode again: the same value and the same canonical bytes.
    MStream s;
    const int32_t written = a.WriteTo(s);
    Check(written >= 1 && written <= used && written == s.GetSize());
    Check(s.Data()[0] >> 3 == written - 1);
    s.Seek(0);
    MCompactInt b;
    Check(b.ReadFrom(s) == written);
    Check(b == a && !(b < a) && !(a < b) && a <= b && a >= b);
    Check(b.ToInt64() == a.ToInt64() && b.ToInt32() == a.ToInt32());
    Check(b.ToHexString() == a.ToHexString());
    MStream s2;
    Check(b.WriteTo(s2) == written && std::memcmp(s2.Data(), s.Data(), size_t(written)) == 0);

    if (FitsInt64(a)) Check(MCompactInt(a.ToInt64()) == a);

    // Order against a second value from the rest of the input.
    MCompactInt c;
    if (c.Decode(data + used, size - size_t(used)) == 0) return 0;
    const int relations = int(a < c) + int(a == c) + int(c < a);
    Check(relations == 1);
    Check((a != c) == !(a == c) && (a > c) == (c < a) && (a <= c) == !(c < a) && (a >= c) == !(a < c));
    if (FitsInt64(a) && FitsInt64(c)) {
        const int64_t x = a.ToInt64(), y = c.ToInt64();
        Check((a < c) == (x < y) && (a == c) == (x == y));
    }
    return 0;
}
