// CAN frames as a user moves them: iohost runs the ECAT service on the CAN
// driver over the simulated master (two EL6751 on one CAN bus, channel 0 of
// the extended format, channel 1 of the standard one); frames go in and out
// through canport, ko can and the example application.
#include "can_frame.h"
#include "canport.h"
#include "child_process.h"
#include "kohgapi.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using testnode::eventually;
int64_t (&tag)(const std::string &) = testnode::tag_value;
using testnode::node_log;

// The plant's node: the bus file beside the config, the service running.
struct Plant {
    Plant()
    {
        std::ofstream(testnode::node_dir() + "/plant.toml") << R"(
[[can_bus]]
name = "field"
bitrate = 1000000

[[terminal]]
name = "K1"
type = "EK1100"

[[terminal]]
name = "GW_EXT"
type = "EL6751"
can_bus = "field"

[[terminal]]
name = "GW_STD"
type = "EL6751"
can_bus = "field"
format = "standard"
)";
        testnode::write_node_config(R"([[ethercat]]
name = "plant"
bus = "plant.toml"

[[service]]
name = "ECAT"
driver = "canbridge.rsl"
settings = { Mode = 1, Cycle = 10, UseWait = 1 }
properties = { NodeName = { Address = "plant" } }
)");
        EXPECT_STREQ(KoStoreError(), "");
        service = std::make_unique<testnode::Child>(
            testnode::Child::program({IOHOST_PATH, "-rsl", CANBRIDGE_PATH}, {"KO_SERVICE=ECAT"}));
        EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.Status") == 1; }));
        EXPECT_EQ(testnode::run_program({KO_PATH, "ctl", "ECAT", "run"}).code, 0);
        EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.CAN.Run") == 1; })) << node_log();
        EXPECT_EQ(CanPortBind(&can), 0);
    }
    ~Plant()
    {
        kill(service->pid(), SIGTERM);
        EXPECT_EQ(service->wait(10000), 0);
    }
    std::unique_ptr<testnode::Child> service;
    CanPortApi can{};
};

struct Received {
    uint32_t id = 0, length = 0;
    uint8_t extended = 9, rtr = 9, data[8] = {};
};

bool receive(CanPortApi &can, int channel, Received &r)
{
    return eventually([&] { return can.read(channel, &r.id, &r.extended, &r.rtr, &r.length, r.data) > 0; });
}

TEST(CanService, FramesCrossBetweenTheGatewaysWithTheStandardFormatRules)
{
    Plant plant;
    const uint8_t data[8] = {0xDE, 0xAD, 0xBE, 0xEF, 5, 6, 7, 8};
    ASSERT_EQ(plant.can.write(0, 0x123, 0, 0, 4, data), 1);
    Received r;
    ASSERT_TRUE(receive(plant.can, 1, r));
    EXPECT_EQ(r.id, 0x123u);
    EXPECT_EQ(r.extended, 0);
    EXPECT_EQ(r.rtr, 0);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.data[3], 0xEF);

    // From the standard gateway an extended identifier leaves as its low 11 bits.
    ASSERT_GE(plant.can.write(1, 0x12345678, 1, 0, 2, data), 1);
    ASSERT_TRUE(receive(plant.can, 0, r));
    EXPECT_EQ(r.id, 0x678u);
    EXPECT_EQ(r.extended, 0) << "a standard frame";

    // An extended frame does not reach the standard gateway.
    ASSERT_GE(plant.can.write(0, 0x1ABCDEF, 1, 0, 1, data), 1);
    ASSERT_GE(plant.can.write(0, 0x7, 0, 1, 0, data), 1);
    ASSERT_TRUE(receive(plant.can, 1, r));
    EXPECT_EQ(r.id, 0x7u) << "the remote frame after it arrives; the extended one does not";
    EXPECT_EQ(r.rtr, 1);
    EXPECT_TRUE(eventually([] { return tag("ECATSIM.plant.CAN.field.Frames") == 4; }));

    uint8_t state[7] = {}, later[7] = {};
    ASSERT_EQ(plant.can.get_device_state(0, state), 0);
    EXPECT_TRUE(eventually([&] { return plant.can.get_device_state(0, later) == 0 && later[6] != state[6]; }))
        << "the gateway's device-state bytes are live";
}

TEST(CanService, KoCanSendAndDumpSpeakTheCanUtilsText)
{
    Plant plant;
    testnode::Child dump = testnode::Child::program({KO_PATH, "can", "dump", "-n", "2", "1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto send = testnode::run_program({KO_PATH, "can", "send", "0", "123#DEADBEEF"});
    EXPECT_EQ(send.code, 0) << send.err;
    EXPECT_EQ(testnode::run_program({KO_PATH, "can", "send", "0", "456#R"}).code, 0);
    EXPECT_EQ(dump.read_line(), "ch1 123#DEADBEEF");
    EXPECT_EQ(dump.read_line(), "ch1 456#R");
    EXPECT_EQ(dump.wait(), 0);

    auto bad = testnode::run_program({KO_PATH, "can", "send", "0", "12#00"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("3 hex digits (standard) or 8 (extended)"), std::string::npos) << bad.err;
    auto status = testnode::run_program({KO_PATH, "can", "status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find("channels 2"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("standard"), std::string::npos) << status.out;
}

TEST(CanService, TheExampleApplicationEchoesWithTheNextIdentifier)
{
    Plant plant;
    testnode::Child echo = testnode::Child::program({CAN_ECHO_PATH, "1", "1"});
    const uint8_t data[8] = {0x11, 0x22};
    ASSERT_EQ(plant.can.write(0, 0x100, 0, 0, 2, data), 1);
    Received r;
    ASSERT_TRUE(receive(plant.can, 0, r));
    EXPECT_EQ(r.id, 0x101u);
    EXPECT_EQ(r.data[1], 0x22);
    kill(echo.pid(), SIGTERM);
    EXPECT_EQ(echo.wait(), 0);
}

}  // namespace
