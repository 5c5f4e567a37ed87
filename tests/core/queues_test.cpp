// Ring queue and byte queue edge cases.

#include "core/MQueue.h"
#include "core/RingedQueueT.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

std::vector<int> Drain(RingedQueueT<int>& q) {
    std::vector<int> out;
    int v = 0;
    while (q.TryPop(v)) out.push_back(v);
    return out;
}

TEST(RingedQueueT, CapacityIsClamped) {
    struct Case {
        int requested, capacity;
    };
    for (const Case& c :
         {Case{3, 5}, Case{-1, 5}, Case{5, 5}, Case{512, 512}, Case{20'000'000, 10'000'000}}) {
        RingedQueueT<char> q;
        q.SetCapacity(c.requested);
        EXPECT_EQ(q.Capacity(), c.capacity) << "requested " << c.requested;
        EXPECT_EQ(q.Count(), 0);
    }
}

TEST(RingedQueueT, PushesUpToCapacityMinusOneThenOverflowKeepsOnlyTheNewest) {
    struct Case {
        int pushes;
        std::vector<int> pending;
    };
    const std::vector<Case> cases = {
        {4, {1, 2, 3, 4}},
        {5, {5}},
        {8, {5, 6, 7, 8}},
        {9, {9}},
    };
    for (const Case& c : cases) {
        RingedQueueT<int> q(5);
        for (int i = 1; i <= c.pushes; ++i) q.Push(i);
        EXPECT_EQ(q.Count(), static_cast<int>(c.pending.size())) << c.pushes << " pushes";
        EXPECT_EQ(Drain(q), c.pending) << c.pushes << " pushes";
    }
}

TEST(RingedQueueT, FifoAcrossTheWrap) {
    RingedQueueT<int> q(5);
    std::vector<int> popped;
    for (int i = 0; i < 23; ++i) {
        q.Push(i);
        if (q.Count() >= 3) popped.push_back(q.Pop()); // stays below the overflow
    }
    for (int v : Drain(q)) popped.push_back(v);
    std::vector<int> expected(23);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(popped, expected);
    EXPECT_EQ(q.Pop(), 0) << "empty: a default item";
}

TEST(RingedQueueT, FindPendingScansOldestFirst) {
    RingedQueueT<std::pair<int, int>> q(5);
    EXPECT_EQ(q.FindPending([](auto&) { return true; }), nullptr) << "empty queue";
    // Move head and tail round the ring first.
    for (int i = 0; i < 3; ++i) q.Push({-1, i});
    for (int i = 0; i < 3; ++i) q.Pop();
    q.Push({1, 10});
    q.Push({2, 20});
    q.Push({1, 30});
    q.Push({3, 40});

    auto* first = q.FindPending([](const std::pair<int, int>& p) { return p.first == 1; });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->second, 10);
    first->second = 11; // in place
    auto* byItem =
        q.FindPending(std::pair<int, int>{3, 0}, [](auto& a, auto& b) { return a.first == b.first; });
    ASSERT_NE(byItem, nullptr);
    EXPECT_EQ(byItem->second, 40);
    EXPECT_EQ(q.FindPending([](auto& p) { return p.first == 7; }), nullptr);
    EXPECT_EQ(q.At(0).second, 11);
    EXPECT_EQ(q.At(3).second, 40);

    q.Clear();
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.FindPending([](auto&) { return true; }), nullptr);
}

TEST(RingedQueueT, WithoutCapacityNothingIsQueued) {
    RingedQueueT<int> q;
    q.Push(1);
    EXPECT_EQ(q.Count(), 0);
    int v = 0;
    EXPECT_FALSE(q.TryPop(v));
}

std::string Contents(MQueue& q) {
    q.Lock();
    std::string s(reinterpret_cast<const char*>(q.Data()), static_cast<size_t>(q.Size()));
    q.Unlock();
    return s;
}

int Put(MQueue& q, const std::string& s, bool atEnd = true) {
    return q.Put(s.data(), static_cast<int>(s.size()), atEnd);
}

TEST(MQueue, PutAndGetAtBothEnds) {
    MQueue q;
    EXPECT_EQ(Put(q, "cdef"), 4);
    EXPECT_EQ(Put(q, "ab", false), 2);
    EXPECT_EQ(Contents(q), "abcdef");

    char buf[8] = {};
    EXPECT_EQ(q.Get(buf, 2, false), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(q.Get(buf, 3, true), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(q.Get(nullptr, 10), 1) << "null destination discards; at most what is stored";
    EXPECT_EQ(q.Size(), 0);
    EXPECT_EQ(q.Get(buf, 4), 0);
}

TEST(MQueue, RejectsBadPutsAndKeepsItsContents) {
    MQueue q;
    q.SetMaxSize(8192);
    std::string big(8190, 'x');
    ASSERT_EQ(Put(q, big), 8190);

    struct Case {
        const char* what;
        const void* data;
        int length;
    };
    const char four[4] = {'1', '2', '3', '4'};
    for (const Case& c :
         {Case{"over the maximum", four, 4}, Case{"null data", nullptr, 1}, Case{"negative length", four, -1},
          Case{"length overflowing int", four, INT32_MAX}}) {
        EXPECT_EQ(q.Put(c.data, c.length, true), -1) << c.what;
        EXPECT_EQ(q.Size(), 8190) << c.what;
    }
    EXPECT_EQ(q.Put(four, 2, false), 2) << "exactly the maximum fits";
    EXPECT_EQ(Contents(q), "12" + big);
    EXPECT_EQ(q.Get(nullptr, -1), -1) << "a negative length takes nothing";
    EXPECT_EQ(q.Size(), 8192);
}

TEST(MQueue, MaxSizeIsClamped) {
    struct Case {
        int requested, maxSize;
    };
    for (const Case& c : {Case{2000, 8192}, Case{-5, 8192}, Case{4096, 4096}, Case{50'000, 50'000},
                          Case{100'000'000, 100'000'000}, Case{200'000'000, 100'000'000}}) {
        MQueue q;
        q.SetMaxSize(c.requested);
        EXPECT_EQ(q.MaxSize(), c.maxSize) << "requested " << c.requested;
    }
    EXPECT_EQ(MQueue().MaxSize(), 20'000'000);
}

TEST(MQueue, StorageGrowsInStepsAndShrinksOneStepPerGet) {
    MQueue q;
    EXPECT_EQ(q.Capacity(), 4096);
    const std::string chunk(5000, 'a');
    Put(q, chunk);
    EXPECT_EQ(q.Capacity(), 8192); // 4096 * (5000 / 4096 + 1)
    Put(q, chunk);
    Put(q, chunk);
    EXPECT_EQ(q.Capacity(), 16384);

    EXPECT_EQ(q.Get(nullptr, 15000), 15000);
    EXPECT_EQ(q.Capacity(), 12288) << "one shrink step per Get";
    q.Get(nullptr, 0);
    EXPECT_EQ(q.Capacity(), 8192);
    q.Get(nullptr, 0);
    EXPECT_EQ(q.Capacity(), 4096);
    q.Get(nullptr, 0);
    EXPECT_EQ(q.Capacity(), 4096) << "not below what still fits in one step";
    EXPECT_EQ(q.Size(), 0);

    Put(q, chunk);
    q.Clear();
    EXPECT_EQ(q.Size(), 0);
    EXPECT_EQ(q.Capacity(), 4096);
}

TEST(MQueue, TypedQueueCountsItems) {
    MQueueT<uint16_t> q;
    const uint16_t samples[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(q.Put(samples, 3), 3);
    EXPECT_EQ(q.Put(samples + 3, 2, false), 2);
    EXPECT_EQ(q.Count(), 5);
    EXPECT_EQ(q.Size(), 10);
    EXPECT_EQ(q.Data()[0], 4);

    uint16_t out[8] = {};
    EXPECT_EQ(q.Get(out, 8), 5);
    EXPECT_EQ(std::vector<uint16_t>(out, out + 5), (std::vector<uint16_t>{4, 5, 1, 2, 3}));
    EXPECT_EQ(q.Put(samples, -1), -1);
    EXPECT_EQ(q.Put(samples, INT32_MAX / 2 + 1), -1);
}

} // namespace
