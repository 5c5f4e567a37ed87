#include "core/MCompactInt.h"
#include "core/MStream.h"
#include "storage/ChunkHeader.h"
#include "storage/MMuxer.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Contents(MStream& s) {
    return Bytes(s.Data(), s.Data() + s.GetSize());
}

// A memory stream holding exactly these bytes.
void Fill(MStream& s, const Bytes& b) {
    s.Reserve(int32_t(b.size()) + 1);
    if (!b.empty()) s.Write(b.data(), int32_t(b.size()));
}

// The two chunks of the container example: 4 bytes for stream 2, then 2 bytes for stream 3.
const Bytes kExample = {0x47, 0x02, 0x00, 0x08, 0x01, 0x41, 0x42, 0x43,
                        0x44, 0x47, 0x03, 0x09, 0x02, 0x02, 0x45, 0x46};

TEST(MMuxer, GoldenContainerExample) {
    MStream s;
    MMuxer m;
    m.SetStream(&s);
    const uint8_t a[] = {0x41, 0x42, 0x43, 0x44}, b[] = {0x45, 0x46};
    ASSERT_TRUE(m.WriteChunk(2, a, 4, true));
    ASSERT_TRUE(m.WriteChunk(3, b, 2, true));
    EXPECT_TRUE(golden::Bytes("muxer_example", kExample, Contents(s)));
    EXPECT_EQ(m.Position(), 9);
    EXPECT_EQ(m.HeaderLength(), 5);
    EXPECT_EQ(m.PayloadLength(), 2);
    EXPECT_EQ(m.Header().BackLinkInt(), MCompactInt(int64_t(9)));
}

TEST(MMuxer, NavigatesTheExample) {
    MStream s;
    Fill(s, kExample);
    MMuxer m;
    m.SetStream(&s);
    EXPECT_FALSE(m.IsValid());

    ASSERT_TRUE(m.Last());
    EXPECT_EQ(m.Position(), 9);
    EXPECT_EQ(m.StreamId(), 3);
    ASSERT_TRUE(m.Prev());
    EXPECT_EQ(m.Position(), 0);
    EXPECT_EQ(m.StreamId(), 2);
    EXPECT_FALSE(m.Prev()); // the first chunk links to nothing
    EXPECT_EQ(m.Position(), 0);
    EXPECT_TRUE(m.IsValid());

    m.Reset();
    ASSERT_TRUE(m.Next());
    EXPECT_EQ(m.Position(), 0);
    ASSERT_TRUE(m.Next());
    EXPECT_EQ(m.Position(), 9);
    EXPECT_FALSE(m.Next());
    EXPECT_FALSE(m.IsValid());
    EXPECT_EQ(m.Position(), 9); // kept: Current probes the same offset again
    EXPECT_TRUE(m.Current());
    EXPECT_EQ(m.Position(), 9);

    ASSERT_TRUE(m.SeekChunk(1)); // the first chunk at or after 1
    EXPECT_EQ(m.Position(), 9);
    EXPECT_FALSE(m.SeekChunk(10));
}

TEST(MMuxer, SingleChunkIsFoundForwardsButNotByLast) {
    MStream s;
    Fill(s, Bytes(kExample.begin(), kExample.begin() + 9));
    MMuxer m;
    m.SetStream(&s);
    EXPECT_FALSE(m.Last());
    EXPECT_TRUE(m.Current());
    EXPECT_EQ(m.Position(), 0);
    EXPECT_EQ(m.PayloadLength(), 4);
}

TEST(MMuxer, ReadPayloadRanges) {
    MStream s;
    Fill(s, kExample);
    MMuxer m;
    m.SetStream(&s);
    ASSERT_TRUE(m.Current());
    struct Case {
        int32_t offset, count, result;
        Bytes bytes;
    };
    const Case cases[] = {
        {-1, -1, 4, {0x41, 0x42, 0x43, 0x44}}, // whole payload
        {0, 2, 2, {0x41, 0x42}},
        {2, 100, 2, {0x43, 0x44}}, // clipped to the payload
        {3, -1, 1, {0x44}},
        {4, 1, -1, {}}, // offset at the end
        {9, 1, -1, {}},
        {1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        uint8_t buf[16] = {};
        const int32_t r = m.ReadPayload(buf, c.offset, c.count);
        EXPECT_EQ(r, c.result) << "offset " << c.offset << " count " << c.count;
        if (r > 0) {
            EXPECT_EQ(Bytes(buf, buf + r), c.bytes) << "offset " << c.offset;
        }
    }
}

TEST(MMuxer, WriteChunkRefusals) {
    MStream s;
    MMuxer m;
    m.SetStream(&s);
    const uint8_t d[] = {1, 2};
    EXPECT_FALSE(m.WriteChunk(101, d, 2, true));
    EXPECT_FALSE(m.WriteChunk(1, d, 0, true));
    EXPECT_FALSE(m.WriteChunk(1, d, -1, true));
    EXPECT_FALSE(m.WriteChunk(1, nullptr, 2, true));
    EXPECT_EQ(s.GetSize(), 0);
    MMuxer none;
    EXPECT_FALSE(none.WriteChunk(1, d, 2, true));
    EXPECT_FALSE(none.Next());
    EXPECT_FALSE(none.Last());
    EXPECT_FALSE(none.Prev());

    // Unlinked chunks carry -1 and count as last chunks.
    ASSERT_TRUE(m.WriteChunk(100, d, 2, true));
    ASSERT_TRUE(m.WriteChunk(7, d, 2, false));
    EXPECT_TRUE(
        golden::Bytes("muxer_unlinked", Bytes{0x47, 100, 0, 2, 1, 2, 0x47, 7, 5, 2, 1, 2}, Contents(s)));
    ASSERT_TRUE(m.Last());
    EXPECT_EQ(m.Position(), 6);
    EXPECT_FALSE(m.Prev());
}

// Header integers: the serial form of MCompactInt, at most 8 magnitude bytes.
TEST(ChunkHeader, IntegersMatchCompactIntForm) {
    std::mt19937_64 rng(11);
    std::vector<int64_t> values = {0,    1,     -1,    3,         4,         -4,
                                   1000, -1000, 70000, INT64_MAX, INT64_MIN, INT64_MIN + 1};
    for (int i = 0; i < 2000; ++i) values.push_back(int64_t(rng()) >> (rng() % 64));
    for (int64_t v : values) {
        uint8_t mine[ChunkHeader::kMaxIntBytes];
        const int n = ChunkHeader::EncodeInt(v, mine);
        MStream s;
        ASSERT_EQ(MCompactInt(v).WriteTo(s), n) << v;
        ASSERT_EQ(Bytes(mine, mine + n), Contents(s)) << v;
        int64_t back = 0;
        ASSERT_EQ(ChunkHeader::DecodeInt(mine, size_t(n), back), n) << v;
        EXPECT_EQ(back, v);
    }
}

TEST(ChunkHeader, ValidityRules) {
    struct Case {
        const char* what;
        Bytes bytes;
        int64_t pos;      // the stream holds pos bytes before these and none after
        int headerLength; // 0: invalid
    };
    const Case cases[] = {
        {"plain", {0x47, 2, 0x00, 0x08, 0x01, 1, 2, 3, 4}, 0, 5},
        {"wrong marker", {0x46, 2, 0x00, 0x00}, 0, 0},
        {"stream id 100", {0x47, 100, 0x00, 0x00}, 0, 4},
        {"stream id 101", {0x47, 101, 0x00, 0x00}, 0, 0},
        {"only the marker", {0x47}, 0, 0},
        {"no length", {0x47, 1, 0x00}, 0, 0},
        {"first byte 0x48: 9 bytes follow", {0x47, 1, 0x48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, 0, 0},
        {"8 bytes follow, linking far past the stream",
         {0x47, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x3F, 0x00},
         0,
         0},
        {"8 bytes follow, zero", {0x47, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, 0, 12},
        {"8 bytes follow, 9 magnitude bytes", {0x47, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00}, 0, 0},
        {"unlinked", {0x47, 1, 0x05, 0x00}, 0, 4},
        {"link -2", {0x47, 1, 0x06, 0x00}, 0, 0},
        {"link 5 up to the header's end", {0x47, 1, 0x09, 0x01, 0x00}, 0, 5},
        {"link 7 from offset 4", {0x47, 1, 0x0B, 0x01, 0x00}, 4, 5},
        {"link 9 past the stream position", {0x47, 1, 0x09, 0x02, 0x00}, 0, 0},
        {"negative length", {0x47, 1, 0x00, 0x05}, 0, 0},
        {"payload past the end", {0x47, 1, 0x00, 0x08, 0x01, 1, 2, 3}, 0, 0},
        {"payload exactly to the end", {0x47, 1, 0x00, 0x03, 1, 2, 3}, 0, 4},
    };
    for (const Case& c : cases) {
        ChunkHeader h;
        const int hl = h.Parse(c.bytes.data(), c.bytes.size(), c.pos, c.pos + int64_t(c.bytes.size()));
        EXPECT_EQ(hl, c.headerLength) << c.what;
    }
    // The same through the muxer: the serial first byte 0x48 is not a header.
    MStream s;
    Fill(s, {0x47, 1, 0x48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
    MMuxer m;
    m.SetStream(&s);
    EXPECT_FALSE(m.Current());
}

// Bytes put between two chunks are stepped over one at a time; a candidate found that way must
// be followed by a marker (or end with the stream).
TEST(MMuxer, ResynchronisesOverDamagedBytes) {
    const Bytes first(kExample.begin(), kExample.begin() + 9), second(kExample.begin() + 9, kExample.end());
    struct Case {
        const char* what;
        Bytes garbage;
        int64_t found; // offset where Next from the first chunk lands, relative to the garbage
    };
    const Case cases[] = {
        {"three foreign bytes", {0x01, 0x02, 0x03}, 3},
        {"a marker with a bad stream id", {0x47, 0x65, 0x00}, 3},
        {"a header not followed by a marker", {0x00, 0x47, 0x01, 0x00, 0x01, 0xAA, 0xBB}, 7},
        {"a header followed by the next chunk", {0x00, 0x47, 0x01, 0x00, 0x01, 0xAA}, 1},
    };
    for (const Case& c : cases) {
        Bytes b = first;
        b.insert(b.end(), c.garbage.begin(), c.garbage.end());
        b.insert(b.end(), second.begin(), second.end());
        MStream s;
        Fill(s, b);
        MMuxer m;
        m.SetStream(&s);
        ASSERT_TRUE(m.Current()) << c.what;
        ASSERT_TRUE(m.Next()) << c.what;
        EXPECT_EQ(m.Position(), 9 + c.found) << c.what;
        if (c.found == int64_t(c.garbage.size())) {
            // The second chunk's link still counts its old distance, so Prev does not reach back.
            EXPECT_FALSE(m.Prev()) << c.what;
            EXPECT_EQ(m.Position(), 9 + c.found) << c.what;
        }
    }

    // The expected position is taken on its own checks, without looking past its end.
    Bytes b = first;
    const Bytes unchecked = {0x47, 0x01, 0x00, 0x01, 0xAA, 0xBB};
    b.insert(b.end(), unchecked.begin(), unchecked.end());
    MStream s;
    Fill(s, b);
    MMuxer m;
    m.SetStream(&s);
    ASSERT_TRUE(m.Current());
    ASSERT_TRUE(m.Next());
    EXPECT_EQ(m.Position(), 9);
}

TEST(MMuxer, GrowingChunkIsCompleteOnceItsBytesAreThere) {
    MStream s;
    Fill(s, {0x47, 2, 0x00, 0x08, 0x01, 1, 2}); // 4 bytes announced, 2 there
    MMuxer m;
    m.SetStream(&s);
    EXPECT_FALSE(m.Current());
    EXPECT_FALSE(m.IsComplete());
    const uint8_t rest[] = {3, 4};
    s.Seek(7);
    s.Write(rest, 2);
    EXPECT_TRUE(m.Current()); // the failed Next kept the offset; it is probed again
    EXPECT_TRUE(m.IsComplete());
    uint8_t buf[4];
    EXPECT_EQ(m.ReadPayload(buf, 0, -1), 4);
}

TEST(MMuxer, LastChecksThePredecessor) {
    MStream s;
    MMuxer w;
    w.SetStream(&s);
    const uint8_t d[] = {9, 9, 9};
    int64_t pos[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(w.WriteChunk(uint8_t(i + 1), d, 3, true));
        pos[i] = w.Position();
    }
    // Let the last chunk link to the first, which does not end where it starts: Last skips it
    // and the middle chunk stands.
    Bytes bad = Contents(s);
    uint8_t link[ChunkHeader::kMaxIntBytes];
    ASSERT_EQ(ChunkHeader::EncodeInt(pos[2] - pos[0], link), 2);
    ASSERT_EQ(bad[size_t(pos[2]) + 2] >> 3, 1); // the old link has two bytes too
    bad[size_t(pos[2]) + 2] = link[0];
    bad[size_t(pos[2]) + 3] = link[1];
    MStream s2;
    Fill(s2, bad);
    MMuxer m;
    m.SetStream(&s2);
    ASSERT_TRUE(m.Last());
    EXPECT_EQ(m.Position(), pos[1]);

    // A link into nowhere stops Prev; the current chunk stays.
    m.SeekChunk(pos[2]);
    ASSERT_EQ(m.Position(), pos[2]);
    ASSERT_TRUE(m.Prev()); // reaches the first chunk: Prev does not check where it ends
    EXPECT_EQ(m.Position(), pos[0]);
    bad[size_t(pos[2]) + 2] = 0x09; // link 5: into the middle chunk's payload
    bad[size_t(pos[2]) + 3] = 0x01;
    MStream s3;
    Fill(s3, bad);
    m.SetStream(&s3);
    ASSERT_TRUE(m.SeekChunk(pos[2]));
    EXPECT_FALSE(m.Prev());
    EXPECT_EQ(m.Position(), pos[2]);
    EXPECT_TRUE(m.IsValid());
}

// A random container walks forwards and backwards over the same chunks.
TEST(MMuxer, RandomContainersWalkBothWays) {
    std::mt19937 rng(5);
    for (int round = 0; round < 50; ++round) {
        MStream s;
        MMuxer w;
        w.SetStream(&s);
        struct Written {
            int64_t pos;
            uint8_t id;
            Bytes payload;
        };
        std::vector<Written> chunks;
        const int count = 1 + int(rng() % 60);
        for (int i = 0; i < count; ++i) {
            Bytes payload(2 + rng() % (rng() % 4 == 0 ? 3000 : 40));
            for (auto& x : payload) x = uint8_t(rng());
            const uint8_t id = uint8_t(rng() % 101);
            ASSERT_TRUE(w.WriteChunk(id, payload.data(), int32_t(payload.size()), true));
            chunks.push_back({w.Position(), id, payload});
        }
        MMuxer r;
        r.SetStream(&s);
        size_t i = 0;
        for (bool ok = r.Current(); ok; ok = r.Next(), ++i) {
            ASSERT_LT(i, chunks.size());
            EXPECT_EQ(r.Position(), chunks[i].pos);
            EXPECT_EQ(r.StreamId(), chunks[i].id);
            Bytes got(chunks[i].payload.size());
            EXPECT_EQ(r.ReadPayload(got.data(), 0, -1), int32_t(got.size()));
            EXPECT_EQ(got, chunks[i].payload);
        }
        EXPECT_EQ(i, chunks.size());
        if (count == 1) {
            EXPECT_FALSE(r.Last());
            continue;
        }
        ASSERT_TRUE(r.Last());
        size_t j = chunks.size();
        do {
            ASSERT_GT(j, 0u);
            --j;
            EXPECT_EQ(r.Position(), chunks[j].pos);
        } while (r.Prev());
        EXPECT_EQ(j, 0u);
        const size_t k = rng() % chunks.size();
        ASSERT_TRUE(r.SeekChunk(chunks[k].pos));
        EXPECT_EQ(r.Position(), chunks[k].pos);
    }
}

} // namespace
