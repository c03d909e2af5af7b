// The sample ring: capacity, dropping the oldest, the three reads, and a
// writer and a reader on two threads.
#include "device/sample_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

namespace trelvo::device {
namespace {

std::vector<uint16_t> newest(SampleRing& ring, int32_t wanted) {
    std::vector<uint16_t> values(static_cast<std::size_t>(std::max(wanted, 0)) + 1, 0xDEAD);
    int32_t n = wanted;
    EXPECT_TRUE(ring.readNewest(values.data(), n));
    EXPECT_EQ(values[static_cast<std::size_t>(n)], 0xDEAD);  // nothing past n written
    values.resize(static_cast<std::size_t>(n));
    return values;
}

std::vector<uint16_t> oldest(SampleRing& ring, int32_t wanted) {
    std::vector<uint16_t> values(static_cast<std::size_t>(wanted) + 1, 0xDEAD);
    int32_t n = wanted;
    EXPECT_TRUE(ring.readOldest(values.data(), n));
    EXPECT_EQ(values[static_cast<std::size_t>(n)], 0xDEAD);
    values.resize(static_cast<std::size_t>(n));
    return values;
}

void push(SampleRing& ring, std::vector<uint16_t> values) {
    EXPECT_TRUE(ring.push(values.data(), static_cast<int32_t>(values.size())));
}

using V = std::vector<uint16_t>;

TEST(SampleRing, FourExtraSlotsAndTheOldestDropped) {
    SampleRing ring(0);
    EXPECT_EQ(ring.slotCount(), 4);
    EXPECT_EQ(ring.count(), 0);
    push(ring, {1, 2, 3, 4, 5});
    EXPECT_EQ(ring.count(), 4);
    EXPECT_EQ(newest(ring, 10), (V{2, 3, 4, 5}));
    EXPECT_EQ(newest(ring, 0), V{});
    EXPECT_EQ(newest(ring, -1), V{});

    push(ring, {4, 5, 6, 7});
    EXPECT_EQ(oldest(ring, 2), (V{4, 5}));
    EXPECT_EQ(newest(ring, 10), (V{6, 7}));
    EXPECT_EQ(oldest(ring, 10), (V{6, 7}));
    EXPECT_EQ(ring.count(), 0);
    EXPECT_EQ(oldest(ring, 10), V{});

    push(ring, {9});  // emptied ring at an arbitrary position
    EXPECT_EQ(newest(ring, 10), V{9});
    EXPECT_EQ(oldest(ring, 10), V{9});
}

TEST(SampleRing, PushesLongerThanTheRingAndWrappedReads) {
    SampleRing ring(3);  // 7 slots
    V many;
    for (uint16_t v = 1; v <= 20; ++v) many.push_back(v);
    push(ring, many);
    EXPECT_EQ(ring.count(), 7);
    EXPECT_EQ(newest(ring, 7), (V{14, 15, 16, 17, 18, 19, 20}));
    // Rounds of push and partial reads across the wrap, against a model.
    std::vector<uint16_t> model{14, 15, 16, 17, 18, 19, 20};
    uint16_t next = 100;
    for (int round = 0; round < 50; ++round) {
        V block;
        for (int i = 0; i < round % 9; ++i) block.push_back(next++);
        push(ring, block);
        model.insert(model.end(), block.begin(), block.end());
        if (model.size() > 7) model.erase(model.begin(), model.end() - 7);
        const int32_t take = round % 4;
        const V got = round % 2 ? oldest(ring, take) : newest(ring, take);
        const auto n = std::min<std::size_t>(take, model.size());
        if (round % 2) {
            EXPECT_EQ(got, V(model.begin(), model.begin() + n));
            model.erase(model.begin(), model.begin() + n);
        } else {
            EXPECT_EQ(got, V(model.end() - n, model.end()));
        }
        ASSERT_EQ(ring.count(), static_cast<int32_t>(model.size()));
    }
}

TEST(SampleRing, DiscardResetAndRefusedSizes) {
    SampleRing ring(4);
    push(ring, {1, 2, 3, 4, 5, 6});
    int32_t n = 2;
    EXPECT_TRUE(ring.discardOldest(n));
    EXPECT_EQ(n, 2);
    EXPECT_EQ(oldest(ring, 1), V{3});
    n = 100;
    EXPECT_TRUE(ring.discardOldest(n));
    EXPECT_EQ(n, 3);
    n = 5;
    EXPECT_TRUE(ring.discardOldest(n));
    EXPECT_EQ(n, 0);

    push(ring, {7, 8});
    ring.reset();
    EXPECT_EQ(ring.count(), 0);
    EXPECT_EQ(ring.slotCount(), 8);
    EXPECT_EQ(newest(ring, 4), V{});

    // capacity + 4 must fit a signed 32-bit count.
    EXPECT_THROW(SampleRing(0x7FFFFFFCu), std::bad_alloc);
    EXPECT_THROW(SampleRing(UINT32_MAX), std::bad_alloc);
}

TEST(SampleRing, ReaderOnAnotherThreadGetsEveryValueOnceInOrder) {
    constexpr uint32_t kTotal = 200000;
    SampleRing ring(kTotal);  // large enough that nothing is dropped
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<uint16_t> block;
        uint32_t next = 0;
        while (next < kTotal) {
            block.clear();
            for (uint32_t i = 0; i < 1 + next % 97 && next < kTotal; ++i)
                block.push_back(static_cast<uint16_t>(next++));
            ring.push(block.data(), static_cast<int32_t>(block.size()));
        }
        done.store(true);
    });
    std::vector<uint16_t> received;
    std::vector<uint16_t> buffer(333);
    while (true) {
        const bool finished = done.load();
        int32_t n = static_cast<int32_t>(buffer.size());
        ring.readOldest(buffer.data(), n);
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        if (n == 0 && finished) break;
        if (n == 0) std::this_thread::yield();
    }
    writer.join();
    ASSERT_EQ(received.size(), kTotal);
    for (uint32_t i = 0; i < kTotal; ++i) ASSERT_EQ(received[i], static_cast<uint16_t>(i)) << i;
}

}  // namespace
}  // namespace trelvo::device

namespace {

TEST(SampleRingReadings, StreamReadsSkipTheRemainsOfAnOverwrittenReading) {
    trelvo::device::SampleRing ring(6);  // 10 slots: not a whole number of 3-value readings
    const uint16_t readings[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ring.push(readings, 12);  // 1 and 2 are overwritten; 3 is left of the first reading
    uint16_t out[12] = {};
    int32_t n = 12;
    ASSERT_TRUE(ring.readOldestReadings(out, n, 3));
    ASSERT_EQ(n, 9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], 4 + i);
    ring.push(readings, 6);
    n = 4;  // rounded down to one whole reading
    ring.readOldestReadings(out, n, 3);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(ring.count(), 3);
}

}  // namespace
