// An EtherCAT service as a user runs it: iohost with the EtherCAT driver on
// the simulated master and on the wire master (ecatslaves at the far end of
// a veth pair), points of the node config, values looked at and set with
// ko, a lost link switched through the simulated master's tags or by ending
// ecatslaves.
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
#include <thread>

namespace {

using testnode::eventually;
int64_t (&get)(const std::string &) = testnode::tag_value;
using testnode::node_log;

using testnode::Master;

// The default bus, simulated in the service or at the far end of a cable.
class EcatlinkService : public testnode::OnBothMasters {
protected:
    // The node config first (ecatslaves makes its tags in the node's store,
    // which the config shapes), then the terminals at the cable's far end.
    void write_config(const std::string &settings)
    {
        testnode::write_node_config(plant(settings));
        ASSERT_STREQ(KoStoreError(), "");
        std::string why;
        if (wire_ != nullptr) {
            ASSERT_TRUE(wire_->start_slaves({}, &why)) << why;
        }
    }

    // The node config's [[ethercat]] entry and the service's NodeName for it.
    std::string master() const
    {
        return wire_ == nullptr ? ""
                                : "[[ethercat]]\nname = \"default\"\ninterface = \"" + wire_->master_end() + "\"\n\n";
    }
    std::string node_name() const
    {
        return wire_ == nullptr ? "" : "properties = { NodeName = { Address = \"default\" } }\n";
    }


    std::string plant(const std::string &settings) const;
};

// The default bus: DI1 (input byte 0) wired to DO1 (output byte 0), AI1's
// two channels at input bytes 1 and 3.
std::string EcatlinkService::plant(const std::string &settings) const
{
    return master() + R"([[service]]
name = "ECAT"
settings = { Mode = 1, Cycle = 10, UseWait = 1, )" +
           settings + " }\n" + node_name() + R"(

[[service.input]]
tag = "Plant.Buttons"
address = 0
access = "value"
type = "u8"

[[service.input]]
tag = "Plant.Temperature"
address = 1
access = "value"
type = "i16"

[[service.output]]
tag = "Plant.Lamps"
address = 0
access = "value"
type = "u8"
)";
}

testnode::Child start_service(bool run = true)
{
    testnode::Child service = testnode::Child::program({IOHOST_PATH, "-rsl", ECATLINK_PATH}, {"KO_SERVICE=ECAT"});
    EXPECT_TRUE(eventually([] { return get("SERVICE.ECAT.Status") == 1; })) << "started";
    if (run) {
        auto ctl = testnode::run_program({KO_PATH, "ctl", "ECAT", "run"});
        EXPECT_EQ(ctl.code, 0) << ctl.err;
        EXPECT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 1; })) << node_log();
    }
    return service;
}

void end_service(testnode::Child &service)
{
    kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(10000), 0);
}

TEST_P(EcatlinkService, OutputsComeBackOnTheWiredInputsAndTheAnalogInputMoves)
{
    write_config("OutputDifferent = 1, WAIT_ESM = 1");
    testnode::Child service = start_service();
    for (int value : {0x5A, 0x01, 0xFF}) {
        auto set_lamps = testnode::run_program({KO_PATH, "set", "Plant.Lamps", std::to_string(value)});
        ASSERT_EQ(set_lamps.code, 0) << set_lamps.err;
        EXPECT_TRUE(eventually([&] { return get("Plant.Buttons") == value; })) << get("Plant.Buttons");
    }
    int64_t first = get("Plant.Temperature");
    EXPECT_TRUE(eventually([&] { return get("Plant.Temperature") != first; })) << "the sine moves";
    EXPECT_EQ(get("SERVICE.ECAT.Error"), 0);
    EXPECT_EQ(get("ECATSIM.default.State"), 8);
    auto status = testnode::run_program({KO_PATH, "status", "ECAT"});
    EXPECT_NE(status.out.find("  EtherCAT  bus default  state 8 (op)  cycles "), std::string::npos) << status.out;
    auto json = testnode::run_program({KO_PATH, "status", "ECAT", "--json"});
    EXPECT_NE(json.out.find("\"ethercat\":[{\"bus\":\"default\",\"state\":8,\"cycles\":"), std::string::npos) << json.out;
    end_service(service);
}

TEST_P(EcatlinkService, WithUseWaitTheInThreadCyclesWithTheBus)
{
    write_config("Measure = 1");
    testnode::Child service = start_service();
    ASSERT_TRUE(eventually([] { return get("SERVICE.ECAT.InThread00_Cnt") > 50; }));
    int64_t in0 = get("SERVICE.ECAT.InThread00_Cnt"), bus0 = get("ECATSIM.default.Cycles");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int64_t in1 = get("SERVICE.ECAT.InThread00_Cnt"), bus1 = get("ECATSIM.default.Cycles");
    EXPECT_GT(bus1 - bus0, 500) << "a 1 ms bus";
    // One In cycle per bus cycle, not one per Cycle setting (10 ms: about
    // 100 in the second). On a loaded machine bus cycles pass while the
    // pacing thread is not yet waiting again, so half is the bound.
    EXPECT_GE(in1 - in0, (bus1 - bus0) / 2) << "In " << in1 - in0 << ", bus " << bus1 - bus0;
    EXPECT_LE(in1 - in0, bus1 - bus0 + 10) << "In " << in1 - in0 << ", bus " << bus1 - bus0;
    end_service(service);
}

TEST_P(EcatlinkService, ALostLinkIsReportedAndTheServiceReconnectsAndRewritesItsOutputs)
{
    write_config("OutputDifferent = 1, ConnectChkCycle = 50, ReConnectCount = 0, ExecuteReConnect = 1");
    testnode::Child service = start_service();
    ASSERT_EQ(testnode::run_program({KO_PATH, "set", "Plant.Lamps", "7"}).code, 0);
    ASSERT_TRUE(eventually([] { return get("Plant.Buttons") == 7; }));

    testnode::lose_link(wire_.get(), "default", true);
    EXPECT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 0; }, 2000));
    EXPECT_EQ(static_cast<uint32_t>(get("SERVICE.ECAT.ConnectLastError")), 0xFFFF0008u)
        << std::hex << get("SERVICE.ECAT.ConnectLastError");
    int64_t cycles = get("SERVICE.ECAT.InThread00_Cnt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(get("SERVICE.ECAT.InThread00_Cnt"), cycles) << "no cycle without the link";

    testnode::lose_link(wire_.get(), "default", false);
    EXPECT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 1; })) << node_log();
    EXPECT_TRUE(eventually([&] { return get("SERVICE.ECAT.InThread00_Cnt") > cycles + 20; })) << "cycling again";
    // The link loss cleared the outputs on the bus; only the write of every
    // output after the reconnection brings the lamps back.
    EXPECT_TRUE(eventually([] { return get("Plant.Buttons") == 7; })) << get("Plant.Buttons");
    EXPECT_EQ(get("SERVICE.ECAT.Error"), 0);
    end_service(service);
}

TEST(EcatlinkBusFile, ABusFileWithAnErrorIsRefusedWithFileLineAndKey)
{
    std::string bus = testnode::node_dir() + "/line1.toml";
    std::ofstream(bus) << "period_us = 1000\n\n[[terminal]]\nname = \"DI1\"\ntype = \"EL1009\"\n";
    testnode::write_node_config(R"([[ethercat]]
name = "line1"
bus = "line1.toml"

[[service]]
name = "ECAT"
properties = { NodeName = { Address = "line1" } }
)");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child service = start_service(false);
    std::string expected = bus + ":5:8: terminal[0].type: unknown type \"EL1009\"";
    EXPECT_NE(node_log().find(expected), std::string::npos) << node_log();
    EXPECT_NE(node_log().find("HiInit Config[node_name=line1],ecatlink,00137"), std::string::npos);
    EXPECT_NE(node_log().find("Init Failure. Status[100H] API Status[20000005H]"), std::string::npos) << node_log();
    end_service(service);
}

INSTANTIATE_TEST_SUITE_P(Masters, EcatlinkService, ::testing::Values(Master::Simulated, Master::Wire),
                         testnode::master_name);

}  // namespace
