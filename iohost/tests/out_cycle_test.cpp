// Out cycles: every point written, OutputDifferent, read-modify-write of bit
// groups, segments, failed tag reads, and what a failed write or a new open
// does to the outputs.
#include "service_harness.h"

#include "kohgapi.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using harness::eventually;
using harness::get;

const char *kOutputs = R"(
[[tag]]
name = "Out.Queue"
type = "fifo"
record_size = 2
depth = 4

[[service]]
name = "TEST"
settings = { Mode = 2 }

[[service.output]]
tag = "Out.Value"
address = 16
access = "value"
type = "u16"

[[service.output]]
tag = "Out.Bit0"
address = 8
access = "bit"
bit = 0

[[service.output]]
tag = "Out.Bit1"
address = 8
access = "bit"
bit = 1

[[service.output]]
tag = "Out.Block"
address = 64
access = "segment"
size = 4

[[service.output]]
tag = "Out.Queue"
address = 80
access = "value"
)";

uint32_t writes_to(const std::vector<testdriver::TestCall> &calls, uint32_t address)
{
    uint32_t n = 0;
    for (const auto &c : calls)
        n += c.entry == testdriver::HiWrite && c.address == address;
    return n;
}

// A service in Mode 2 whose Out thread runs only on triggers.
struct Outputs {
    harness::Service service;
    explicit Outputs(const char *rsl = "test_driver.rsl") : service(rsl)
    {
        EXPECT_TRUE(service.started());
        EXPECT_TRUE(service.send(EM_SERVICE_RUN));
        EXPECT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 1; }));
        harness::drain_calls();
    }
    // One Out cycle; the calls it made.
    std::vector<testdriver::TestCall> cycle()
    {
        uint32_t before = get("SERVICE.TEST.OutThread00_Cnt");
        EXPECT_TRUE(service.send(EM_SERVICE_TRIGGER));
        EXPECT_TRUE(eventually([&] { return get("SERVICE.TEST.OutThread00_Cnt") == before + 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return harness::drain_calls();
    }
    ~Outputs() { EXPECT_EQ(service.end(SIGTERM), 0); }
};

TEST(OutCycle, EveryPointEveryCycleAndBitsByReadModifyWrite)
{
    testnode::write_node_config(kOutputs);
    uint8_t item = 0xFC;
    harness::device_write(8, &item, 1);
    harness::set("Out.Value", 0x1234, 2);
    harness::set("Out.Bit0", 1, 1);
    harness::set("Out.Bit1", 0, 1);
    Outputs out;
    for (int i = 0; i < 3; ++i) {
        auto calls = out.cycle();
        EXPECT_EQ(writes_to(calls, 16), 1u) << "cycle " << i;
        EXPECT_EQ(writes_to(calls, 64), 1u) << "segments are written every cycle";
        ASSERT_EQ(writes_to(calls, 8), 1u) << "one write per bit group";
        for (const auto &c : calls) {
            if (c.entry == testdriver::HiWrite && c.address == 8) {
                EXPECT_EQ(c.length, 1u);
                EXPECT_EQ(c.data[0], 0xFD) << "0xFC with bit 0 set and bit 1 clear";
            }
            if (c.entry == testdriver::HiWrite && c.address == 16) {
                EXPECT_EQ(c.data[0] | (c.data[1] << 8), 0x1234);
            }
        }
        EXPECT_EQ(writes_to(calls, 80), 0u) << "a failed tag read writes nothing";
    }
    EXPECT_EQ(get("SERVICE.TEST.OutThread00_KoreLastError"), KO_E_FIFO_EMPTY) << "the failed tag read is reported";
    EXPECT_EQ(get("SERVICE.TEST.OutThread00_LastError"), 0u);
}

TEST(OutCycle, OutputDifferentWritesOnlyChangesAfterTheFirstFullWrite)
{
    testnode::write_node_config(kOutputs);
    harness::set("SERVICE.TEST.OutputDifferent", 1, 1);
    harness::set("Out.Value", 7, 2);
    Outputs out;
    auto first = out.cycle();
    EXPECT_EQ(writes_to(first, 16), 1u) << "after an open every point is written once";
    EXPECT_EQ(writes_to(first, 8), 1u);
    auto same = out.cycle();
    EXPECT_EQ(writes_to(same, 16), 0u);
    EXPECT_EQ(writes_to(same, 8), 0u) << "the bit group's item did not change";
    EXPECT_EQ(writes_to(same, 64), 1u) << "segments are always written";
    harness::set("Out.Value", 8, 2);
    EXPECT_EQ(writes_to(out.cycle(), 16), 1u);
    EXPECT_EQ(writes_to(out.cycle(), 16), 0u);
    harness::set("Out.Bit1", 1, 1);
    EXPECT_EQ(writes_to(out.cycle(), 8), 1u);

    // A new open: the device may have lost its outputs; everything once more.
    ASSERT_TRUE(out.service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("TESTDRV.HiOpen.Count") == 2; }));
    auto reopened = out.cycle();
    EXPECT_EQ(writes_to(reopened, 16), 1u);
    EXPECT_EQ(writes_to(reopened, 8), 1u);
}

TEST(OutCycle, AFailedWriteIsOfferedAgain)
{
    testnode::write_node_config(kOutputs);
    harness::set("SERVICE.TEST.OutputDifferent", 1, 1);
    harness::set("Out.Value", 7, 2);
    Outputs out;
    out.cycle();
    harness::set("Out.Value", 9, 2);
    harness::set("TESTDRV.HiWrite.FailAddress", 16);
    harness::set("TESTDRV.HiWrite.Status", 1);  // a warning; the reconnect step clears the flag at once
    harness::set("TESTDRV.HiWrite.Api", 0x55);
    EXPECT_EQ(writes_to(out.cycle(), 16), 1u);
    EXPECT_EQ(get("SERVICE.TEST.OutThread00_LastError"), 0x55u);
    harness::set("TESTDRV.HiWrite.Status", 0);
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 0; }));
    auto retry = out.cycle();
    ASSERT_EQ(writes_to(retry, 16), 1u) << "the value the device did not take is written again";
    EXPECT_EQ(get("SERVICE.TEST.OutThread00_LastError"), 0u);
}

TEST(OutCycle, BitGroupReadFailureBelongsToTheOutThread)
{
    testnode::write_node_config(kOutputs);
    harness::set("TESTDRV.HiRead.FailAddress", 8);
    harness::set("TESTDRV.HiRead.Status", 1);
    harness::set("TESTDRV.HiRead.Api", 0x99);
    Outputs out;
    auto calls = out.cycle();
    EXPECT_EQ(writes_to(calls, 8), 0u) << "nothing is written when the item cannot be read";
    EXPECT_EQ(get("SERVICE.TEST.OutThread00_LastError"), 0x99u);
    EXPECT_EQ(get("SERVICE.TEST.InThread00_LastError"), 0u);
}

}  // namespace
