// In cycles: value points, bit groups, segments, disabled points, failing
// reads and the error flag, reconnection in the same cycle, statistics.
#include "service_harness.h"

#include "kohgapi.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace {

using harness::eventually;
using harness::get;

const char *kInputs = R"(
[[service]]
name = "TEST"

[[service.input]]
tag = "In.Value"
address = 16
access = "value"
type = "i32"

[[service.input]]
tag = "In.Bit9"
address = 4
access = "bit"
bit = 9
item_width = 15

[[service.input]]
tag = "In.Bit2"
address = 4
access = "bit"
bit = 2
item_width = 15

[[service.input]]
tag = "In.Bit14"
address = 4
access = "bit"
bit = 14
item_width = 15

[[service.input]]
tag = "In.Block"
address = 64
access = "segment"
size = 12

[[service.input]]
tag = "In.Off"
address = 32
access = "value"
type = "u16"
enabled = false

[[service.input]]
tag = "In.SegmentBit"
address = 40
access = "bit"
type = "segment"
size = 2
)";

struct Running {
    harness::Service service;
    explicit Running(const char *rsl = "test_driver.rsl") : service(rsl)
    {
        EXPECT_TRUE(service.started());
        EXPECT_TRUE(service.send(EM_SERVICE_RUN));
        EXPECT_TRUE(eventually([] { return get("SERVICE.TEST.InThread00_Cnt") > 3; }));
    }
    ~Running() { EXPECT_EQ(service.end(SIGTERM), 0); }
};

TEST(InCycle, PointsReachTheirTags)
{
    testnode::write_node_config(kInputs);
    int32_t value = 0x12345678;
    harness::device_write(16, &value, 4);
    uint16_t item = (1u << 2) | (1u << 14);
    harness::device_write(4, &item, 2);
    harness::device_write(64, "ABCDEFGHIJKL", 12);
    uint16_t off = 0xBEEF;
    harness::device_write(32, &off, 2);
    harness::drain_calls();
    Running run;

    EXPECT_EQ(get("In.Value"), 0x12345678u);
    EXPECT_EQ(get("In.Bit2") & 0xFF, 1u);
    EXPECT_EQ(get("In.Bit9") & 0xFF, 0u);
    EXPECT_EQ(get("In.Bit14") & 0xFF, 1u);
    char block[13] = {};
    uint32_t entry = 0;
    KoTagGetProperty("In.Block", "Entry", &entry, 4);
    KoTagReadSegment(entry, 0, block, 12);
    EXPECT_STREQ(block, "ABCDEFGHIJKL");
    EXPECT_EQ(get("In.Off"), 0u) << "a disabled point is not transferred";

    // One cycle's reads, in address order: the bit group once, 2 bytes.
    auto calls = harness::drain_calls();
    std::vector<testdriver::TestCall> reads;
    for (const auto &c : calls) {
        if (c.entry == testdriver::HiRead)
            reads.push_back(c);
    }
    ASSERT_GE(reads.size(), 3u);
    size_t start = 0;
    while (start < reads.size() && reads[start].address != 4)
        ++start;
    ASSERT_LE(start + 3, reads.size());
    EXPECT_EQ(reads[start].length, 2u);
    EXPECT_EQ(reads[start].unit, 8u);
    EXPECT_EQ(reads[start + 1].address, 16u);
    EXPECT_EQ(reads[start + 1].unit, 8u);
    EXPECT_EQ(reads[start + 2].address, 64u);
    EXPECT_EQ(reads[start + 2].length, 12u);
    EXPECT_EQ(reads[start + 2].unit, 12u) << "a block's unit is its length, not the 8 of a point";
    EXPECT_EQ(reads[start].handle, testdriver::kFirstConnection) << "the connection HiOpen gave";
    EXPECT_EQ(reads[start].timeout, 600000u);
    for (const auto &r : reads)
        EXPECT_NE(r.address, 32u) << "disabled point read";
    for (const auto &r : reads)
        EXPECT_NE(r.address, 40u) << "a bit point on a segment tag is ignored";

    // Values follow the device.
    value = -5;
    harness::device_write(16, &value, 4);
    EXPECT_TRUE(eventually([] { return get("In.Value") == static_cast<uint32_t>(-5); }));
}

TEST(InCycle, FailingReadSetsTheErrorFlagUntilTheNextOpen)
{
    testnode::write_node_config(kInputs);
    harness::set("TESTDRV.HiRead.FailAddress", 16);
    harness::set("TESTDRV.HiRead.Api", 0xABC);
    harness::Service service;
    ASSERT_TRUE(service.started());
    harness::set("TESTDRV.HiRead.Status", 256);
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 1; }))
        << "reads " << get("TESTDRV.HiRead.Count") << harness::log_tail();
    EXPECT_EQ(get("SERVICE.TEST.InThread00_LastError"), 0xABCu);
    EXPECT_TRUE(harness::await_log("DBG Error Status[1]\\n,korecode,00227"));
    // Windows, not waits: a pass in flight ends, then none may follow.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t cycles = get("SERVICE.TEST.InThread00_Cnt");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(get("SERVICE.TEST.InThread00_Cnt"), cycles) << "releases are consumed without cycles";
    EXPECT_EQ(get("TESTDRV.HiReConnect.Count"), 0u) << "status 256 never reconnects";

    harness::set("TESTDRV.HiRead.Status", 0);
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([&] { return get("SERVICE.TEST.InThread00_Cnt") > cycles + 3; }));
    EXPECT_TRUE(harness::eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 0; }));
    EXPECT_EQ(get("SERVICE.TEST.InThread00_LastError"), 0u) << "a clean cycle clears LastError";
    EXPECT_EQ(service.end(SIGTERM), 0);
}

struct WarningRow {
    const char *rsl;
    bool clears;
};
void PrintTo(const WarningRow &r, std::ostream *out)
{
    *out << (r.clears ? "with_reconnect" : "without_reconnect");
}
class Warning : public ::testing::TestWithParam<WarningRow> {};

TEST_P(Warning, ClearedByReconnectionInTheSameCycle)
{
    {
        const WarningRow &r = GetParam();
        testnode::write_node_config(kInputs);
        harness::Service service(r.rsl);
        ASSERT_TRUE(service.started());
        harness::set("TESTDRV.HiRead.Status", 1);
        harness::set("TESTDRV.HiRead.FailAddress", 16);
        ASSERT_TRUE(service.send(EM_SERVICE_RUN));
        ASSERT_TRUE(eventually([] { return harness::log_has("DBG Error Status[1]\\n,korecode,00227"); }));
        if (r.clears) {
            // ExecuteReConnect 0: the reconnect step succeeds without calling the driver.
            EXPECT_TRUE(eventually([] { return harness::log_count("DBG Error Status[0]\\n,korecode,00227") > 1; }))
                << r.rsl;
            EXPECT_EQ(get("TESTDRV.HiReConnect.Count"), 0u);
            uint32_t cycles = get("SERVICE.TEST.InThread00_Cnt");
            EXPECT_TRUE(eventually([&] { return get("SERVICE.TEST.InThread00_Cnt") > cycles + 3; }))
                << "cycles go on";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a window in which nothing may clear it
            EXPECT_EQ(get("SERVICE.TEST.Error") & 0xFF, 1u) << "without HiReConnect the flag stays";
        }
        EXPECT_EQ(service.end(SIGTERM), 0);
    }
}
INSTANTIATE_TEST_SUITE_P(InCycle, Warning,
                         ::testing::Values(WarningRow{"test_driver.rsl", true},
                                           WarningRow{"test_driver_no_optional.rsl", false}));

TEST(InCycle, AFailedReconnectionIsRetriedUntilTheDeviceIsBack)
{
    testnode::write_node_config(kInputs);
    harness::set("SERVICE.TEST.ExecuteReConnect", 1, 1);
    harness::Service service;
    ASSERT_TRUE(service.started());
    harness::set("TESTDRV.HiRead.Status", 1);
    harness::set("TESTDRV.HiReConnect.Status", 1);
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("TESTDRV.HiReConnect.Count") > 0; }));
    uint32_t cycles = get("SERVICE.TEST.InThread00_Cnt");
    uint32_t tries = get("TESTDRV.HiReConnect.Count");
    EXPECT_TRUE(eventually([&] { return get("TESTDRV.HiReConnect.Count") > tries + 3; }))
        << "the reconnection is tried again while the device is away";
    EXPECT_EQ(get("SERVICE.TEST.InThread00_Cnt"), cycles) << "no cycle runs meanwhile";
    EXPECT_EQ(get("SERVICE.TEST.Error") & 0xFF, 1u);

    harness::set("TESTDRV.HiRead.Status", 0);
    harness::set("TESTDRV.HiReConnect.Status", 0);
    EXPECT_TRUE(eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 0; }));
    EXPECT_TRUE(eventually([&] { return get("SERVICE.TEST.InThread00_Cnt") > cycles + 3; })) << "cycles run again";
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(InCycle, StatisticsWhenMeasuring)
{
    testnode::write_node_config(kInputs);
    harness::set("SERVICE.TEST.Measure", 1, 1);
    Running run;
    EXPECT_GT(harness::get_float("SERVICE.TEST.InThread00_Time"), 0.0f);
    float low = harness::get_float("SERVICE.TEST.InThread00_TimeMin");
    float high = harness::get_float("SERVICE.TEST.InThread00_TimeMax");
    EXPECT_GT(low, 0.0f);
    EXPECT_GE(high, low);
    EXPECT_EQ(get("SERVICE.TEST.InThread00_KoreLastError"), 0u);
    EXPECT_EQ(get("SERVICE.TEST.InThread00_LastError"), 0u);
}

TEST(InCycle, NoTimesWithoutMeasuringAndNoPointsStillCount)
{
    Running run;  // no node config: no points
    EXPECT_EQ(harness::get_float("SERVICE.TEST.InThread00_Time"), 0.0f);
    EXPECT_EQ(harness::get_float("SERVICE.TEST.InThread00_TimeMax"), 0.0f);
    EXPECT_GT(get("SERVICE.TEST.InThread00_Cnt"), 3u);
}

}  // namespace
