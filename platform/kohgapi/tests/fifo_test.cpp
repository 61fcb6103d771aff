// FIFO tags: order, depth, counts, peek, removal without a buffer, and many
// producer processes against one consumer.
#include "child_process.h"
#include "kohgapi.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <vector>

namespace {

struct Frame {  // 14 bytes, as the CAN frame records
    uint16_t producer;
    uint32_t sequence;
    uint32_t check;   // derived from the two above: a torn record breaks it
    uint32_t check2;
} __attribute__((packed));
static_assert(sizeof(Frame) == 14);

Frame frame(uint16_t producer, uint32_t sequence)
{
    return Frame{producer, sequence, sequence * 2654435761u ^ producer, ~sequence};
}

bool intact(const Frame &f)
{
    Frame expected = frame(f.producer, f.sequence);
    return std::memcmp(&expected, &f, sizeof f) == 0;
}

uint32_t make_fifo(const char *name, uint32_t depth)
{
    uint32_t entry = 0;
    char work[49];
    EXPECT_EQ(KoTagCreateFIFO(name, 14, depth, nullptr, "test FIFO", work, sizeof work, &entry), KO_OK);
    return entry;
}

TEST(Fifo, OrderDepthAndCounts)
{
    uint32_t fifo = make_fifo("F.Small", 4);
    uint32_t count = 99;
    Frame f{};
    EXPECT_EQ(KoTagGetFIFO(fifo, &f, 14, &count), KO_E_FIFO_EMPTY);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(KoTagReadByEntry(fifo, &f, 14), KO_E_FIFO_EMPTY);
    for (uint32_t i = 0; i < 4; ++i) {
        Frame in = frame(1, i);
        ASSERT_EQ(KoTagPutFIFO(fifo, &in, 14, &count), KO_OK);
        EXPECT_EQ(count, i + 1) << "count after a put";
    }
    Frame extra = frame(1, 99);
    EXPECT_EQ(KoTagPutFIFO(fifo, &extra, 14, &count), KO_E_FIFO_FULL);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(KoTagGetFIFOCount(fifo, &count), KO_OK);
    EXPECT_EQ(count, 4u);

    // Peek leaves the oldest record; a get without a buffer removes it.
    ASSERT_EQ(KoTagReadByEntry(fifo, &f, 14), KO_OK);
    EXPECT_EQ(f.sequence, 0u);
    ASSERT_EQ(KoTagReadByEntry(fifo, &f, 14), KO_OK);
    EXPECT_EQ(f.sequence, 0u);
    ASSERT_EQ(KoTagGetFIFO(fifo, nullptr, 0, nullptr), KO_OK);
    for (uint32_t i = 1; i < 4; ++i) {
        ASSERT_EQ(KoTagGetFIFO(fifo, &f, 14, &count), KO_OK);
        EXPECT_EQ(f.sequence, i) << "order";
        EXPECT_EQ(count, 3 - i) << "count after a get";
    }
    EXPECT_EQ(KoTagGetFIFO(fifo, &f, 14, &count), KO_E_FIFO_EMPTY);
    EXPECT_EQ(KoTagPutFIFO(fifo, &f, 13, &count), KO_E_SIZE);
}

TEST(Fifo, WrapsAroundManyTimes)
{
    uint32_t fifo = make_fifo("F.Wrap", 3);
    for (uint32_t i = 0; i < 1000; ++i) {
        Frame in = frame(2, i), out{};
        ASSERT_EQ(KoTagPutFIFO(fifo, &in, 14, nullptr), KO_OK);
        if (i % 2 == 1) {
            ASSERT_EQ(KoTagPutFIFO(fifo, &in, 14, nullptr), KO_OK);
            ASSERT_EQ(KoTagGetFIFO(fifo, &out, 14, nullptr), KO_OK);
        }
        ASSERT_EQ(KoTagGetFIFO(fifo, &out, 14, nullptr), KO_OK);
        ASSERT_TRUE(intact(out));
    }
}

// Its counters wrap at twice the depth: across each wrap, with the FIFO at
// every fill level from empty to full, order, counts and full/empty hold.
TEST(Fifo, OrderAcrossCounterWrapForADepthThatIsNoPowerOfTwo)
{
    constexpr uint32_t kDepth = 1000;
    uint32_t fifo = 0;
    ASSERT_EQ(KoTagCreateFIFO("F.Thousand", 4, kDepth, nullptr, nullptr, nullptr, 0, &fifo), KO_OK);
    uint32_t put = 0, taken = 0, count = 0;
    for (uint32_t round = 0; round < 12; ++round) {
        uint32_t fill = (round * 397) % (kDepth + 1);  // 0 .. depth, in no simple order
        while (put - taken < fill) {
            ASSERT_EQ(KoTagPutFIFO(fifo, &put, 4, &count), KO_OK);
            ASSERT_EQ(count, ++put - taken);
        }
        if (fill == kDepth) {
            uint32_t extra = 0xDEAD;
            ASSERT_EQ(KoTagPutFIFO(fifo, &extra, 4, &count), KO_E_FIFO_FULL);
            ASSERT_EQ(count, kDepth);
        }
        ASSERT_EQ(KoTagGetFIFOCount(fifo, &count), KO_OK);
        ASSERT_EQ(count, put - taken);
        while (taken != put) {
            uint32_t out = 0;
            ASSERT_EQ(KoTagGetFIFO(fifo, &out, 4, &count), KO_OK);
            ASSERT_EQ(out, taken) << "round " << round;
            ASSERT_EQ(count, put - ++taken);
        }
        uint32_t none;
        ASSERT_EQ(KoTagGetFIFO(fifo, &none, 4, &count), KO_E_FIFO_EMPTY);
    }
    EXPECT_GT(put, 4 * kDepth) << "the counters wrapped more than once";
}

TEST(Fifo, FourProducerProcessesOneConsumerNothingLostOrTorn)
{
    constexpr uint16_t kProducers = 4;
    constexpr uint32_t kEach = 250000;
    uint32_t fifo = make_fifo("F.Shared", 1024);
    std::vector<std::unique_ptr<testnode::Child>> producers;
    for (uint16_t p = 0; p < kProducers; ++p)
        producers.push_back(std::make_unique<testnode::Child>([fifo, p](int) {
            for (uint32_t i = 0; i < kEach; ++i) {
                Frame f = frame(p, i);
                uint32_t status;
                while ((status = KoTagPutFIFO(fifo, &f, 14, nullptr)) == KO_E_FIFO_FULL)
                    sched_yield();
                if (status != KO_OK)
                    return 1;
            }
            return 0;
        }));

    std::array<uint32_t, kProducers> next{};
    uint64_t received = 0, torn = 0, out_of_order = 0;
    while (received < uint64_t{kProducers} * kEach) {
        Frame f;
        uint32_t status = KoTagGetFIFO(fifo, &f, 14, nullptr);
        if (status == KO_E_FIFO_EMPTY) {
            sched_yield();
            continue;
        }
        ASSERT_EQ(status, KO_OK);
        ++received;
        if (!intact(f) || f.producer >= kProducers) {
            ++torn;
            continue;
        }
        if (f.sequence != next[f.producer])
            ++out_of_order;
        next[f.producer] = f.sequence + 1;
    }
    for (auto &p : producers)
        EXPECT_EQ(p->wait(60000), 0);
    uint32_t left = 1;
    EXPECT_EQ(KoTagGetFIFOCount(fifo, &left), KO_OK);
    EXPECT_EQ(left, 0u) << "more records than were put";
    EXPECT_EQ(received, 1000000u);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(out_of_order, 0u);
    for (uint32_t n : next)
        EXPECT_EQ(n, kEach);
}

// A ping-pong between two processes through two FIFOs, each side sleeping
// in KoTagWaitFIFO until the other's put: a lost wake-up shows as a wait
// that runs out of time.
TEST(Fifo, AWaitingReaderIsWokenByEveryPutAcrossProcesses)
{
    uint32_t ping = make_fifo("F.Ping", 4), pong = make_fifo("F.Pong", 4);
    uint32_t count = 9;
    EXPECT_EQ(KoTagWaitFIFO(ping, 0, &count), KO_E_FIFO_EMPTY) << "no wait";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(KoTagWaitFIFO(ping, 20, nullptr), KO_E_FIFO_EMPTY) << "the time runs out";
    EXPECT_EQ(KoTagWaitFIFO(0, 0, nullptr), KO_E_ENTRY);
    constexpr uint32_t kRounds = 2000;
    testnode::Child echo([ping, pong](int) {
        for (uint32_t i = 0; i < kRounds; ++i) {
            Frame f;
            if (KoTagWaitFIFO(ping, 10000, nullptr) != KO_OK || KoTagGetFIFO(ping, &f, 14, nullptr) != KO_OK ||
                KoTagPutFIFO(pong, &f, 14, nullptr) != KO_OK)
                return 1;
        }
        return 0;
    });
    uint32_t late = 0;
    for (uint32_t i = 0; i < kRounds; ++i) {
        Frame f = frame(1, i);
        ASSERT_EQ(KoTagPutFIFO(ping, &f, 14, nullptr), KO_OK);
        if (KoTagWaitFIFO(pong, 10000, &count) != KO_OK) {
            ++late;
            break;
        }
        EXPECT_EQ(count, 1u);
        ASSERT_EQ(KoTagGetFIFO(pong, &f, 14, nullptr), KO_OK);
        ASSERT_EQ(f.sequence, i);
    }
    EXPECT_EQ(late, 0u) << "a put did not wake its waiter";
    EXPECT_EQ(echo.wait(20000), 0);
}

}  // namespace
