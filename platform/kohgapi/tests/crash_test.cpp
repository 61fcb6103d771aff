// Processes killed while they hold a lock of the store, and readers in other
// processes racing a writer: the store stays usable and values whole.
#include "child_process.h"
#include "kohgapi.h"
#include "robust_mutex.h"
#include "store.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRounds = 100;

pthread_mutex_t *fifo_lock(uint32_t entry)
{
    ko::Store *s = ko::store();
    return &s->at<ko::FifoArea>(ko::slot_of(s, entry)->data)->lock;
}

pthread_mutex_t *segment_lock(uint32_t entry)
{
    ko::Store *s = ko::store();
    return &s->at<ko::SegmentArea>(ko::slot_of(s, entry)->data)->lock;
}

pthread_mutex_t *store_lock()
{
    return &ko::store()->header->lock;
}

// A child takes the lock, says so, and is killed with SIGKILL while holding it.
void kill_holder(pthread_mutex_t *lock)
{
    testnode::Child child([lock](int report_fd) {
        new ko::RobustLock(lock);  // never released: the process dies holding it
        testnode::report(report_fd, "locked");
        pause();
        return 0;
    });
    ASSERT_EQ(child.read_line(), "locked");
    kill(child.pid(), SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
}

TEST(Crash, FifoLockHolderKilledHundredTimes)
{
    uint32_t fifo = 0;
    ASSERT_EQ(KoTagCreateFIFO("K.Fifo", 14, 8, nullptr, nullptr, nullptr, 0, &fifo), KO_OK);
    uint8_t record[14] = {};
    uint32_t put = 0, taken = 0;
    for (int round = 0; round < kRounds; ++round) {
        kill_holder(fifo_lock(fifo));
        // The next caller takes the lock over; order and count are intact.
        std::memcpy(record, &put, 4);
        ASSERT_EQ(KoTagPutFIFO(fifo, record, 14, nullptr), KO_OK) << "round " << round;
        ++put;
        if (round % 3 == 2) {
            uint32_t count = 0;
            ASSERT_EQ(KoTagGetFIFOCount(fifo, &count), KO_OK);
            ASSERT_EQ(count, put - taken);
            while (KoTagGetFIFO(fifo, record, 14, &count) == KO_OK) {
                uint32_t seen;
                std::memcpy(&seen, record, 4);
                ASSERT_EQ(seen, taken++);
            }
        }
    }
}

TEST(Crash, TagLocksHolderKilledHundredTimes)
{
    uint32_t segment = 0;
    ASSERT_EQ(KoTagCreateSegment("K.Seg", 12, 64, nullptr, nullptr, nullptr, 0, &segment), KO_OK);
    for (int round = 0; round < kRounds; ++round) {
        kill_holder(round % 2 == 0 ? segment_lock(segment) : store_lock());
        uint8_t block[64];
        std::memset(block, round, sizeof block);
        ASSERT_EQ(KoTagWriteSegment(segment, 0, block, 64), KO_OK) << "round " << round;
        uint8_t back[64] = {};
        ASSERT_EQ(KoTagReadSegment(segment, 0, back, 64), KO_OK);
        ASSERT_EQ(std::memcmp(back, block, 64), 0);
        // Creation and properties use the store lock.
        std::string name = "K.Made" + std::to_string(round);
        ASSERT_EQ(KoTagCreateEx(name.c_str(), KO_TYPE_I32, nullptr, "made after a kill"), KO_OK);
        int32_t v = round;
        ASSERT_EQ(KoTagWrite(name.c_str(), &v, 4), KO_OK);
    }
    EXPECT_EQ(KoTagCount(), uint32_t{kRounds} + 1);
}

TEST(Crash, ReadersNeverSeeAHalfWrittenValue)
{
    ASSERT_EQ(KoTagCreateEx("K.Pair", KO_TYPE_U64, nullptr, nullptr), KO_OK);
    uint32_t pair = 0, segment = 0;
    ASSERT_EQ(KoTagGetProperty("K.Pair", "Entry", &pair, 4), KO_OK);
    ASSERT_EQ(KoTagCreateSegment("K.Block", 12, 32, nullptr, nullptr, nullptr, 0, &segment), KO_OK);
    uint64_t start = 0x00000000FFFFFFFFull;
    ASSERT_EQ(KoTagWriteByEntry(pair, &start, 8), KO_OK);
    uint64_t block[4] = {0, ~0ull, 0, ~0ull};
    ASSERT_EQ(KoTagWriteSegment(segment, 0, block, 32), KO_OK);

    testnode::Child writer([&](int) {
        for (uint32_t i = 1;; ++i) {
            uint64_t v = (uint64_t{i} << 32) | ~i;  // high half == ~low half
            KoTagWriteByEntry(pair, &v, 8);
            uint64_t b[4] = {i, ~uint64_t{i}, i, ~uint64_t{i}};
            KoTagWriteSegment(segment, 0, b, 32);
        }
        return 0;
    });
    std::vector<std::unique_ptr<testnode::Child>> readers;
    for (int r = 0; r < 2; ++r)
        readers.push_back(std::make_unique<testnode::Child>([&](int) {
            for (int i = 0; i < 300000; ++i) {
                uint64_t v;
                KoTagReadByEntry(pair, &v, 8);
                if (static_cast<uint32_t>(v >> 32) != ~static_cast<uint32_t>(v))
                    return 1;
                uint64_t b[4];
                KoTagReadSegment(segment, 0, b, 32);
                if (b[1] != ~b[0] || b[2] != b[0] || b[3] != b[1])
                    return 2;
            }
            return 0;
        }));
    for (auto &r : readers)
        EXPECT_EQ(r->wait(120000), 0) << "1: torn value, 2: torn segment";
}

}  // namespace
