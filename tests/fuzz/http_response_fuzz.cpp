// HTTP responses from a server. The first 8 bytes choose the body limit, how the connection ends
// and where the rest is split into pieces; the rest is the response. Fed whole and fed in pieces,
// the parser must come to the same result, never take more bytes than it was given, and never
// hold more body than its limit.

#include "net/HttpResponseParser.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct Result {
    HttpResponseParser::State state;
    std::string body;
    std::string error;
    size_t taken;
    int status;
    bool keepAlive;
    size_t headers;
};

// splitmix64: a cheap, well-mixed sequence from the seed.
uint64_t Next(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Result Parse(const uint8_t* data, size_t size, uint64_t limit, int end, uint64_t seed, bool split) {
    HttpResponseParser p(limit);
    size_t taken = 0;
    size_t at = 0;
    while (at < size) {
        size_t n = size - at;
        if (split) {
            const uint64_t r = Next(seed);
            // Mostly short pieces (the awkward boundaries), now and then a long one.
            n = std::min<size_t>(n, (r & 3) == 0 ? 1 + (r >> 8) % 4096 : 1 + (r >> 8) % 7);
        }
        const size_t took = p.Feed(data + at, n);
        if (took > n) __builtin_trap();
        taken += took;
        at += n;
    }
    if (end != 0) p.Finish(end == 1);
    if (p.Body().size() > limit) __builtin_trap();
    return {p.GetState(), p.Body(), p.Error(), taken, p.StatusCode(), p.KeepAlive(), p.HeaderLines().size()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    uint64_t seed = 0;
    std::memcpy(&seed, data, 8);
    data += 8;
    size -= 8;
    const uint64_t limit = (seed & 0xFFFF) == 0xFFFF ? UINT64_MAX : (seed & 0xFFFF);
    const int end = static_cast<int>((seed >> 16) % 3); // open, orderly close, broken

    const Result whole = Parse(data, size, limit, end, seed, false);
    const Result pieces = Parse(data, size, limit, end, seed, true);
    if (whole.state != pieces.state || whole.body != pieces.body || whole.error != pieces.error ||
        whole.taken != pieces.taken || whole.status != pieces.status || whole.keepAlive != pieces.keepAlive ||
        whole.headers != pieces.headers)
        __builtin_trap();
    if (whole.taken > size) __builtin_trap();
    // Once complete or failed, nothing more is taken; only a complete response leaves bytes over.
    if (whole.taken < size && whole.state != HttpResponseParser::State::Complete &&
        whole.state != HttpResponseParser::State::Failed)
        __builtin_trap();
    return 0;
}
