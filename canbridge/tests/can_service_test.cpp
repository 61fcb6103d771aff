// CAN frames as a user moves them: iohost runs the ECAT service on the CAN
// driver over the simulated master, or over the wire master with ecatslaves
// at the far end of a veth pair (two EL6751 on one CAN bus, channel 0 of
// the extended format, channel 1 of the standard one); frames go in and out
// through canport, ko can and the example application, and ko's dumps are
// read by the can-utils and python-can.
#include "can_frame.h"
#include "canport.h"
#include "child_process.h"
#include "kohgapi.h"
#include "test_node.h"
#include "both_masters.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <iterator>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testnode::eventually;
int64_t (&tag)(const std::string &) = testnode::tag_value;
using testnode::node_log;

// The plant's node: the bus file beside the config, the service running;
// with a cable, the bus's terminals answer at its far end.
struct Plant {
    explicit Plant(const std::string &more_settings = "", testnode::WireBus *wire = nullptr)
    {
        std::string bus_file = testnode::node_dir() + "/plant.toml";
        std::ofstream(bus_file) << R"(
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
        std::string interface = wire != nullptr ? "interface = \"" + wire->master_end() + "\"\n" : "";
        testnode::write_node_config(R"([[ethercat]]
name = "plant"
bus = "plant.toml"
)" + interface + R"(

[[service]]
name = "ECAT"
driver = "canbridge.rsl"
settings = { Mode = 1, Cycle = 10, UseWait = 1)" + more_settings + R"( }
properties = { NodeName = { Address = "plant" } }
)");
        EXPECT_STREQ(KoStoreError(), "");
        std::string why;
        if (wire != nullptr) {
            EXPECT_TRUE(wire->start_slaves({"--bus", bus_file}, &why)) << why;
        }
        service = std::make_unique<testnode::Child>(
            testnode::Child::program({IOHOST_PATH, "-rsl", CANBRIDGE_PATH}, {"KO_SERVICE=ECAT"}));
        EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.Status") == 1; }));
        EXPECT_EQ(testnode::run_program({KO_PATH, "ctl", "ECAT", "run"}).code, 0);
        // The exchange starts once the bus is operational; a pass shows it has.
        EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.CAN.Live") > 0; })) << node_log();
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
    return can.read_wait(channel, &r.id, &r.extended, &r.rtr, &r.length, r.data, 10000) > 0;
}

using testnode::Master;

// The CAN traffic that must look the same on either master.
class CanService : public testnode::OnBothMasters {
protected:
    // The tags of the plant's terminals: in the service, or in ecatslaves.
    std::string terminals() const { return wire_ == nullptr ? "ECATSIM.plant." : "ECATSLAVES.plant."; }
};

TEST_P(CanService, FramesCrossBetweenTheGatewaysWithTheStandardFormatRules)
{
    Plant plant("", wire_.get());
    const uint8_t data[8] = {0xDE, 0xAD, 0xBE, 0xEF, 5, 6, 7, 8};
    ASSERT_EQ(plant.can.write(0, 0x123, 0, 0, 4, data), 1);
    Received r;
    ASSERT_TRUE(receive(plant.can, 1, r));
    EXPECT_EQ(r.id, 0x123u);
    EXPECT_EQ(r.extended, 0);
    EXPECT_EQ(r.rtr, 0);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.data[3], 0xEF);

    // The standard gateway refuses what it would send under another identifier.
    EXPECT_EQ(plant.can.write(1, 0x12345678, 1, 0, 2, data), -8);
    ASSERT_GE(plant.can.write(1, 0x678, 0, 0, 2, data), 1);
    ASSERT_TRUE(receive(plant.can, 0, r));
    EXPECT_EQ(r.id, 0x678u);
    EXPECT_EQ(r.extended, 0) << "a standard frame";

    // An extended frame does not reach the standard gateway.
    ASSERT_GE(plant.can.write(0, 0x1ABCDEF, 1, 0, 1, data), 1);
    ASSERT_GE(plant.can.write(0, 0x7, 0, 1, 0, data), 1);
    ASSERT_TRUE(receive(plant.can, 1, r));
    EXPECT_EQ(r.id, 0x7u) << "the remote frame after it arrives; the extended one does not";
    EXPECT_EQ(r.rtr, 1);
    EXPECT_TRUE(eventually([&] { return tag(terminals() + "CAN.field.Frames") == 4; }));
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.01.RxLost"), 0);

    uint8_t state[7] = {}, later[7] = {};
    ASSERT_EQ(plant.can.get_device_state(0, state), 0);
    EXPECT_TRUE(eventually([&] { return plant.can.get_device_state(0, later) == 0 && later[6] != state[6]; }))
        << "the gateway's device-state bytes are live";
}

// Frames as they wait in channel 0's receive FIFO for ko can dump.
void queue_received(const std::vector<CAN_COMM_DATA_EL6751_EXT> &frames)
{
    uint32_t rx = 0;
    ASSERT_EQ(KoTagGetProperty("SERVICE.ECAT.CAN.00.RxFrameFIFO", "Entry", &rx, 4), KO_OK);
    for (const CAN_COMM_DATA_EL6751_EXT &f : frames)
        ASSERT_EQ(KoTagPutFIFO(rx, &f, 14, nullptr), KO_OK);
}

const std::vector<CAN_COMM_DATA_EL6751_EXT> kFrames = {
    {4, 0x123, {0xDE, 0xAD, 0xBE, 0xEF}},
    {2, 0x1ABCDEF0 | CAN_ID_EXTENDED, {0x11, 0x22}},
    {0, 0x456 | CAN_ID_RTR, {}},
};

TEST(CanTools, KoCanSendSpeaksCansendAndRefusesWhatItCannotSendAsWritten)
{
    Plant plant;
    auto send = testnode::run_program({KO_PATH, "can", "send", "0", "123#DE.AD.BE.EF"});
    EXPECT_EQ(send.code, 0) << send.err;
    Received r;
    ASSERT_TRUE(receive(plant.can, 1, r));
    EXPECT_EQ(r.id, 0x123u);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.data[3], 0xEF);

    const struct {
        const char *channel, *frame;
        int code;
        const char *why;
    } refused[] = {
        {"0", "12#00", 2, "3 hex digits (standard) or 8 (extended)"},
        {"0", "123#R3", 2, "no length in a remote frame"},
        {"0", "123#11..22", 2, "at most one '.'"},
        {"0", "123#112233445566778899", 2, "at most 8 data bytes"},
        {"1", "12345678#11", 1, "standard frames only"},
        {"7", "123#11", 1, "no such channel"},
    };
    for (const auto &c : refused) {
        auto result = testnode::run_program({KO_PATH, "can", "send", c.channel, c.frame});
        EXPECT_EQ(result.code, c.code) << c.frame;
        EXPECT_NE(result.err.find(c.why), std::string::npos) << c.frame << ": " << result.err;
    }
    auto status = testnode::run_program({KO_PATH, "can", "status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find("channels 2"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("standard"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("received 1  delivered 1  lost: rx 0, tx 0"), std::string::npos) << status.out;
}

TEST(CanTools, KoCanDumpPrintsCandumpsDisplayAndALogTheCanToolsRead)
{
    if (access("/usr/bin/log2asc", X_OK) != 0 || access("/usr/bin/log2long", X_OK) != 0)
        GTEST_SKIP() << "can-utils are not installed (make test installs them)";
    Plant plant;
    queue_received(kFrames);
    auto display = testnode::run_program({KO_PATH, "can", "dump", "-n", "3", "0"});
    EXPECT_EQ(display.code, 0) << display.err;
    EXPECT_EQ(display.out, "  ch0  123   [4]  DE AD BE EF\n"
                           "  ch0  1ABCDEF0   [2]  11 22\n"
                           "  ch0       456   [0]  remote request\n")
        << "standard identifiers line up once an extended one was seen, as candump's do";

    std::string log = testnode::node_dir() + "/frames.log";
    queue_received(kFrames);
    EXPECT_EQ(testnode::run_program({KO_PATH, "can", "dump", "-n", "3", "-l", log, "0"}).code, 0);
    queue_received(kFrames);
    auto to_stdout = testnode::run_program({KO_PATH, "can", "dump", "-n", "3", "-L", "0"});
    std::ifstream in(log);
    std::string from_file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string &text : {from_file, to_stdout.out}) {
        EXPECT_NE(text.find(") ch0 123#DEADBEEF\n"), std::string::npos) << text;
        EXPECT_NE(text.find(") ch0 1ABCDEF0#1122\n"), std::string::npos) << text;
        EXPECT_NE(text.find(") ch0 456#R\n"), std::string::npos) << text;
    }

    auto asc = testnode::run_program({"/usr/bin/log2asc", "-I", log, "ch0"});
    EXPECT_EQ(asc.code, 0);
    EXPECT_NE(asc.out.find("1  123             Rx   d 4 DE AD BE EF"), std::string::npos) << asc.out;
    EXPECT_NE(asc.out.find("1  1ABCDEF0x       Rx   d 2 11 22"), std::string::npos) << asc.out;
    EXPECT_NE(asc.out.find("1  456             Rx   r"), std::string::npos) << asc.out;
    auto long_form = testnode::run_program({"/bin/sh", "-c", "/usr/bin/log2long < " + log});
    EXPECT_NE(long_form.out.find("ch0  1ABCDEF0   [2]  11 22"), std::string::npos) << long_form.out;

    auto python = testnode::run_program(
        {"/usr/bin/python3", "-c",
         "import can,sys\n"
         "for m in can.CanutilsLogReader(sys.argv[1]):\n"
         "    print('%X %d %d %d %s' % (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.dlc, m.data.hex()))",
         log});
    if (python.err.find("No module named 'can'") != std::string::npos)
        GTEST_SKIP() << "python3-can is not installed (make test installs it)";
    EXPECT_EQ(python.out, "123 0 0 4 deadbeef\n1ABCDEF0 1 0 2 1122\n456 0 1 0 \n") << python.err;

    queue_received({kFrames[0]});
    auto json = testnode::run_program({KO_PATH, "can", "dump", "-n", "1", "--json", "0"});
    EXPECT_NE(json.out.find("\"id\":291,\"extended\":false,\"rtr\":false,\"length\":4,\"data\":\"DEADBEEF\""),
              std::string::npos)
        << json.out;
}

TEST_P(CanService, ALinkLossIsReportedWhileItLastsAndClearedOnceTheLinkIsBack)
{
    Plant plant(", ConnectChkCycle = 50, ReConnectCount = 0, ExecuteReConnect = 1", wire_.get());
    testnode::lose_link(wire_.get(), "plant", true);
    EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.CAN.Error") == 1; })) << node_log();
    EXPECT_EQ(testnode::await_log_count("CAN: Disconnected.", 1u), 1u) << "reported while the link is down";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Disconnects"), 1);
    testnode::lose_link(wire_.get(), "plant", false);
    EXPECT_TRUE(eventually([] { return tag("SERVICE.ECAT.CAN.Error") == 0; })) << node_log();
    EXPECT_EQ(testnode::await_log_count("CAN: Connected again.", 1u), 1u);
    EXPECT_EQ(testnode::await_log_count("CAN: Disconnected.", 1u), 1u);
    const uint8_t data[8] = {0x42};
    ASSERT_GE(plant.can.write(0, 0x55, 0, 0, 1, data), 1);
    Received r;
    ASSERT_TRUE(receive(plant.can, 1, r)) << "frames cross again";
    EXPECT_EQ(r.id, 0x55u);
}

TEST(CanTools, TheExampleApplicationEchoesWithTheNextIdentifier)
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

INSTANTIATE_TEST_SUITE_P(Masters, CanService, ::testing::Values(Master::Simulated, Master::Wire),
                         testnode::master_name);

}  // namespace
