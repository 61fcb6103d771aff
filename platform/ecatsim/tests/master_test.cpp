// The simulated master through its two libraries, as the drivers call it:
// bus choice, slave search, images and their bounds, the cycle wait and its
// cancel, the state machine, faults, and the I/O terminals. Each test runs
// in a process of its own (one master per process).
#include "sim_client.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

const char *kTwoGateways = R"(
[[can_bus]]
name = "plant"
bitrate = 1000000

[[terminal]]
name = "DI"
type = "EL1809"
wired_to = "DO"

[[terminal]]
name = "CANA"
type = "EL6751"
can_bus = "plant"
format = "standard"

[[terminal]]
name = "DO"
type = "EL2809"

[[terminal]]
name = "CANB"
type = "EL6751"
can_bus = "plant"
)";

TEST(Master, FindsTheGatewaysOfABusFileInOrder)
{
    bus_file(kTwoGateways);
    Sim sim;
    sim.start("node_name=line1");
    EXPECT_EQ(sim.node_status("line1", EH_WAIT_FOREVER), EH_OK);
    EXPECT_EQ(sim.node_status("", EH_WAIT_FOREVER), EH_OK);
    EXPECT_EQ(sim.node_status(RtNodeName(), EH_WAIT_FOREVER), EH_OK) << "the node's own name";
    EXPECT_EQ(sim.node_status("line2", EH_WAIT_FOREVER), EH_E_NO_MASTER);

    EhSlaveSearch first = gateway_search(0), second = gateway_search(1), third = gateway_search(2);
    ASSERT_EQ(sim.find(sim.handle, &first), EH_OK);
    ASSERT_EQ(sim.find(sim.handle, &second), EH_OK);
    EXPECT_EQ(sim.find(sim.handle, &third), EH_E_NOT_FOUND);
    EXPECT_STREQ(first.name, "CANA");
    EXPECT_EQ(first.slave_index, 1u);
    EXPECT_EQ(first.in_size, 113u);
    EXPECT_EQ(first.out_size, 106u);
    EXPECT_EQ(first.in_offset, 8u) << "after DI's 2 bytes, at an offset divisible by 8";
    EXPECT_EQ(first.out_offset, 0u);
    EXPECT_STREQ(second.name, "CANB");
    EXPECT_EQ(second.slave_index, 3u);
    EXPECT_EQ(second.in_size, 153u);
    EXPECT_EQ(second.out_size, 146u);
    EXPECT_EQ(second.in_offset, 128u);
    EXPECT_EQ(second.out_offset, 112u) << "after CANA's 106 and DO's 2 bytes";

    EhSlaveSearch wrong = gateway_search(0);
    wrong.size = 87;
    EXPECT_EQ(sim.find(sim.handle, &wrong), EH_E_RECORD);
    EXPECT_EQ(sim.find(0x1234, &first), EH_E_HANDLE);
}

TEST(Master, ImagesAreTheMemoryReadAndWriteUseAndTheirBoundsHold)
{
    bus_file(kTwoGateways);
    Sim sim;
    uintptr_t c = sim.start("node_name=line1");
    uintptr_t in_base = 0, out_base = 0;
    uint32_t in_size = 0, out_size = 0;
    ASSERT_EQ(sim.in_address(sim.handle, &in_base, &in_size), EH_OK);
    ASSERT_EQ(sim.out_address(sim.handle, &out_base, &out_size), EH_OK);
    EXPECT_EQ(in_size, 128u + 153u);
    EXPECT_EQ(out_size, 112u + 146u);

    uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_EQ(sim.write(c, out_size - 4, bytes, 4, 0), ECATSIM_OK);
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(out_base) + out_size - 4, bytes, 4), 0);
    uint8_t back[4] = {};
    ASSERT_EQ(sim.read(c, ECATSIM_OUTPUT_READBACK + out_size - 4, back, 4, 4, 0), ECATSIM_OK);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0) << "the outputs read back";

    uint8_t untouched[8];
    std::memset(untouched, 0xEE, sizeof untouched);
    struct Row {
        const char *what;
        uint32_t address, length, read, write;
    } rows[] = {
        {"one byte past the inputs", in_size - 3, 4, ECATSIM_E_ADDRESS, ECATSIM_OK},
        {"one byte past the outputs", out_size - 3, 4, ECATSIM_OK, ECATSIM_E_ADDRESS},
        {"past the read-back area", ECATSIM_OUTPUT_READBACK + out_size - 1, 2, ECATSIM_E_ADDRESS, ECATSIM_E_READ_ONLY},
        {"past the registers", ECATSIM_REG_STATE_WORD + 1, 4, ECATSIM_E_ADDRESS, ECATSIM_E_ADDRESS},
        {"a register", ECATSIM_REG_CYCLES, 4, ECATSIM_OK, ECATSIM_E_READ_ONLY},
        {"a length that wraps", 8, 0xFFFFFFF9u, ECATSIM_E_ADDRESS, ECATSIM_E_ADDRESS},
        {"between the areas", 0x30000, 1, ECATSIM_E_ADDRESS, ECATSIM_E_ADDRESS},
    };
    for (const Row &r : rows) {
        uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof buffer);
        if (r.read != ECATSIM_OK) {
            EXPECT_EQ(sim.read(c, r.address, buffer, r.length, 1, 0), r.read) << r.what;
            EXPECT_EQ(std::memcmp(buffer, untouched, sizeof buffer), 0) << r.what << ": nothing read";
        }
        if (r.write != ECATSIM_OK) {
            std::vector<uint8_t> before(reinterpret_cast<uint8_t *>(out_base), reinterpret_cast<uint8_t *>(out_base) + out_size);
            EXPECT_EQ(sim.write(c, r.address, buffer, r.length, 0), r.write) << r.what;
            EXPECT_EQ(std::memcmp(before.data(), reinterpret_cast<uint8_t *>(out_base), out_size), 0)
                << r.what << ": nothing written";
        }
    }
    EXPECT_EQ(sim.close(c), ECATSIM_OK);
    EXPECT_EQ(sim.read(c, 0, back, 1, 1, 0), ECATSIM_E_NOT_OPEN) << "a closed connection";
    EXPECT_EQ(sim.write(c, 0, back, 1, 0), ECATSIM_E_NOT_OPEN);
    EXPECT_EQ(sim.read(0, 0, back, 1, 1, 0), ECATSIM_E_NOT_OPEN);
}

TEST(Master, WaitsReturnOncePerCycleAndACancelReleasesOnlyThatThread)
{
    Sim sim;
    uintptr_t c = sim.start();
    uint32_t before = sim.u32(c, ECATSIM_REG_CYCLES);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(sim.wait(sim.handle, 1000), EH_OK);
    uint32_t after = sim.u32(c, ECATSIM_REG_CYCLES);
    EXPECT_GE(after - before, 20u) << "each wait is a completed cycle";

    std::atomic<RTHANDLE> waiter_thread{0};
    std::atomic<uint32_t> waiter_status{0xFFFF};
    std::atomic<int> waits{0};
    std::thread waiter([&] {
        waiter_thread = GetRtThreadHandles(THIS_THREAD);
        for (;;) {
            uint32_t status = sim.wait(sim.handle, EH_WAIT_FOREVER);
            ++waits;
            if (status != EH_OK) {
                waiter_status = status;
                return;
            }
        }
    });
    ASSERT_TRUE(eventually([&] { return waits.load() > 5; }));
    // A cancel aimed at another thread leaves this one waiting.
    EXPECT_EQ(sim.cancel(sim.handle, GetRtThreadHandles(THIS_THREAD)), EH_OK);
    int seen = waits.load();
    EXPECT_TRUE(eventually([&] { return waits.load() > seen + 3; })) << "the waiter goes on waiting";
    EXPECT_EQ(waiter_status.load(), 0xFFFFu);
    // Cancels every 10 ms, as the CAN driver's close does, until it is out.
    while (waiter_status.load() == 0xFFFF) {
        sim.cancel(sim.handle, waiter_thread.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waiter.join();
    EXPECT_EQ(waiter_status.load(), EH_E_CANCELLED);
    EXPECT_EQ(sim.wait(0x55, 10), EH_E_HANDLE);
}

TEST(Master, OpenWithWaitEsmReturnsOperationalAndWithoutItAtOnce)
{
    bus_file("period_us = 20000\n[[terminal]]\nname = \"K\"\ntype = \"EK1100\"\n");
    Sim sim;
    uintptr_t context = 0, connection = 0;
    ASSERT_EQ(sim.init("ecatlink", "node_name=line1", &context, 0), ECATSIM_OK);
    ASSERT_EQ(sim.open(context, nullptr, &connection, 0), ECATSIM_OK);
    EXPECT_LT(sim.u32(connection, ECATSIM_REG_STATE) & 0xFFFF, 8u) << "still climbing (3 cycles of 20 ms a step)";
    EXPECT_EQ(sim.u32(connection, ECATSIM_REG_STATE_WORD) & ECATSIM_LINK_NOT_OP, ECATSIM_LINK_NOT_OP);
    EXPECT_EQ(sim.open(context, "WAIT_ESM", &connection, 10), ECATSIM_E_ESM_TIMEOUT) << "10 ms is too short";
    ASSERT_EQ(sim.open(context, "WAIT_ESM", &connection, 5000), ECATSIM_OK);
    EXPECT_EQ(sim.u32(connection, ECATSIM_REG_STATE) & 0xFFFF, 8u);
    EXPECT_EQ(sim.u32(connection, ECATSIM_REG_STATE_WORD), ECATSIM_LINK_RUNNING);
    EXPECT_EQ(sim.u32(connection, ECATSIM_REG_PERIOD_US), 20000u);
    EXPECT_EQ(sim.open(context, "WAIT_ESM|FAST", &connection, 0), ECATSIM_E_OPTION);
    EXPECT_EQ(sim.open(0x99, nullptr, &connection, 0), ECATSIM_E_NOT_INIT);
    uintptr_t other = 0;
    EXPECT_EQ(sim.init("ecatlink", nullptr, &other, 0), ECATSIM_E_OTHER_BUS) << "one bus per process";
    EXPECT_EQ(sim.init("ecatlink", "node_name=line1", &other, 0), ECATSIM_OK) << "the same bus again";
    EXPECT_EQ(other, context);
}

TEST(Master, InitRefusesUnknownMastersAndBadBusFilesWithTheirPlace)
{
    bus_file("period_us = 50\n");
    Sim sim;
    uintptr_t context = 0;
    EXPECT_EQ(sim.init("ecatlink", "node_name=line9", &context, 0), ECATSIM_E_MASTER);
    EXPECT_EQ(sim.init("ecatlink", "node_name=line1", &context, 0), ECATSIM_E_BUS_FILE);
    EXPECT_EQ(sim.init("ecatlink", "speed=fast", &context, 0), ECATSIM_E_OPTION);
    std::ifstream log(testnode::node_dir() + "/node.log");
    std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("has no [[ethercat]] master of that name"), std::string::npos) << text;
    EXPECT_NE(text.find("/line1.toml:1:13: period_us: 50 is out of range 100 to 100000"), std::string::npos) << text;
}

TEST(Master, WiredInputsFollowTheOutputsWithinTwoCycles)
{
    bus_file(kTwoGateways);
    Sim sim;
    uintptr_t c = sim.start("node_name=line1");
    EhSlaveSearch di{};
    di.size = sizeof di;
    di.vendor = 2;
    di.product_code = 0x07113052;  // EL1809
    ASSERT_EQ(sim.find(sim.handle, &di), EH_OK);
    EhSlaveSearch do_{};
    do_.size = sizeof do_;
    do_.vendor = 2;
    do_.product_code = 0x0AF93052;  // EL2809
    ASSERT_EQ(sim.find(sim.handle, &do_), EH_OK);
    for (uint16_t value : {0x8001, 0x1234, 0x0000}) {
        ASSERT_EQ(sim.write(c, do_.out_offset, &value, 2, 0), ECATSIM_OK);
        sim.wait(sim.handle, 1000);
        sim.wait(sim.handle, 1000);
        uint16_t seen = 0;
        ASSERT_EQ(sim.read(c, di.in_offset, &seen, 2, 2, 0), ECATSIM_OK);
        EXPECT_EQ(seen, value);
    }
}

TEST(Master, ALostLinkStopsTheCyclesUntilAnOpenAfterItsReturn)
{
    Sim sim;
    uintptr_t c = sim.start();
    uint8_t lamps = 0x0F;
    ASSERT_EQ(sim.write(c, 0, &lamps, 1, 0), ECATSIM_OK);  // DO1 of the default bus
    set_switch("ECATSIM.default.Fault.LinkLoss", 1, 1);
    ASSERT_TRUE(eventually([&] { return (sim.u32(c, ECATSIM_REG_STATE_WORD) & ECATSIM_LINK_LOST) != 0; }));
    EXPECT_EQ(sim.u32(c, ECATSIM_REG_STATE) & 0xFFFF, 1u);
    uint32_t cycles = sim.u32(c, ECATSIM_REG_CYCLES);
    EXPECT_EQ(sim.wait(sim.handle, 50), EH_E_TIMEOUT) << "no cycle passes";
    EXPECT_EQ(sim.u32(c, ECATSIM_REG_CYCLES), cycles);
    uint8_t out = 0xAA;
    ASSERT_EQ(sim.read(c, ECATSIM_OUTPUT_READBACK, &out, 1, 1, 0), ECATSIM_OK);
    EXPECT_EQ(out, 0) << "the I/O terminals' outputs fall to 0";
    uintptr_t context = 0, again = c;
    ASSERT_EQ(sim.init("ecatlink", nullptr, &context, 0), ECATSIM_OK);
    EXPECT_EQ(sim.open(context, nullptr, &again, 0), ECATSIM_E_LINK_DOWN);

    set_switch("ECATSIM.default.Fault.LinkLoss", 0, 1);
    EXPECT_EQ(sim.wait(sim.handle, 1000), EH_OK) << "cycles again";
    for (int cycle = 0; cycle < 4; ++cycle)  // long enough to climb a step, were it climbing
        EXPECT_EQ(sim.wait(sim.handle, 1000), EH_OK);
    EXPECT_EQ(sim.u32(c, ECATSIM_REG_STATE) & 0xFFFF, 1u) << "the master waits for an open";
    ASSERT_EQ(sim.open(context, "WAIT_ESM", &again, 5000), ECATSIM_OK);
    EXPECT_EQ(again, c) << "a reconnection keeps its connection object";
    EXPECT_EQ(sim.u32(c, ECATSIM_REG_STATE_WORD), ECATSIM_LINK_RUNNING);
}

TEST(Master, ADroppedStateAndSlowCyclesShowInTheRegistersAndTags)
{
    Sim sim;
    uintptr_t c = sim.start();
    set_switch("ECATSIM.default.Fault.DropState", 4, 1);
    ASSERT_TRUE(eventually([&] { return (sim.u32(c, ECATSIM_REG_STATE) & 0xFFFF) == 4; }));
    uint16_t reserved = 9, state = 0;
    ASSERT_EQ(sim.get_state(sim.handle, &reserved, &state), EH_OK);
    EXPECT_EQ(state, 4);
    EXPECT_EQ(sim.u32(c, ECATSIM_REG_STATE_WORD), ECATSIM_LINK_RUNNING | ECATSIM_LINK_NOT_OP);
    uint8_t drop = 9;
    ASSERT_EQ(KoTagRead("ECATSIM.default.Fault.DropState", &drop, 1), KO_OK);
    EXPECT_EQ(drop, 0) << "the switch is taken once";
    uint16_t published = 0;
    ASSERT_TRUE(eventually([&] { return KoTagRead("ECATSIM.default.State", &published, 2) == KO_OK && published == 4; }));

    uint32_t lost = sim.u32(c, ECATSIM_REG_LOST);
    set_switch("ECATSIM.default.Fault.SlowCycleUs", 3000, 4);
    EXPECT_TRUE(eventually([&] { return sim.u32(c, ECATSIM_REG_LOST) > lost + 10; })) << "3 ms cycles on a 1 ms grid";
    set_switch("ECATSIM.default.Fault.SlowCycleUs", 0, 4);
    uint32_t lost_tag = 0;
    ASSERT_TRUE(eventually([&] {
        return KoTagRead("ECATSIM.default.LostCycles", &lost_tag, 4) == KO_OK && lost_tag > lost + 10;
    }));
}

TEST(Master, TheAnalogInputFollowsItsSignal)
{
    bus_file(R"(
[[terminal]]
name = "AI"
type = "EL3104"
signals = [ { kind = "constant", offset = -1234 }, { kind = "ramp", period_ms = 100, amplitude = 10000 },
            { kind = "sine", period_ms = 200, amplitude = 3000, offset = 100 } ]
)");
    Sim sim;
    uintptr_t c = sim.start("node_name=line1");
    int16_t low_ramp = INT16_MAX, high_ramp = INT16_MIN, low_sine = INT16_MAX, high_sine = INT16_MIN;
    // Until every extreme was seen (a loaded machine samples fewer cycles), at most 10 s.
    auto seen_all = [&] { return low_ramp < 500 && high_ramp > 9500 && low_sine < -2800 && high_sine > 3000; };
    for (int i = 0; i < 10000 && !seen_all(); ++i) {
        sim.wait(sim.handle, 1000);
        int16_t values[4] = {};
        ASSERT_EQ(sim.read(c, 0, values, 8, 8, 0), ECATSIM_OK);
        EXPECT_EQ(values[0], -1234);
        EXPECT_EQ(values[3], 0) << "a channel without a signal";
        low_ramp = std::min(low_ramp, values[1]);
        high_ramp = std::max(high_ramp, values[1]);
        low_sine = std::min(low_sine, values[2]);
        high_sine = std::max(high_sine, values[2]);
    }
    EXPECT_LT(low_ramp, 500);
    EXPECT_GT(high_ramp, 9500);
    EXPECT_LE(high_ramp, 10000);
    EXPECT_LT(low_sine, -2800);
    EXPECT_GT(high_sine, 3000);
    EXPECT_LE(high_sine, 3100);
}

}  // namespace
