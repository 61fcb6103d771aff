// What a cable does to an EtherCAT service on the wire master: a chain that
// is not what the bus file says, a terminal refusing SAFEOP, and process
// data coming back with wrong working counters. ecatslaves plays the
// terminals at the far end of a veth pair.
#include "child_process.h"
#include "kohgapi.h"
#include "test_node.h"
#include "wire_bus.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using testnode::eventually;
using testnode::node_log;
int64_t (&get)(const std::string &) = testnode::tag_value;

const char *kBus = R"(
[[terminal]]
name = "K1"
type = "EK1100"

[[terminal]]
name = "DI1"
type = "EL1008"
wired_to = "DO1"

[[terminal]]
name = "DO1"
type = "EL2008"
)";

class Wire : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!testnode::WireBus::available(why))
            GTEST_SKIP() << why;
        wire_ = std::make_unique<testnode::WireBus>(ECATSLAVES_PATH);
        std::ofstream(testnode::node_dir() + "/line.toml") << kBus;
        testnode::write_node_config("[[ethercat]]\nname = \"line\"\nbus = \"line.toml\"\ninterface = \"" +
                                    wire_->master_end() + R"("

[[service]]
name = "ECAT"
settings = { Mode = 1, Cycle = 10, UseWait = 1, OutputDifferent = 1, WAIT_ESM = 1, ConnectChkCycle = 50, ReConnectCount = 0, ExecuteReConnect = 1 }
properties = { NodeName = { Address = "line" } }

[[service.input]]
tag = "Line.Barriers"
address = 0
access = "value"
type = "u8"

[[service.output]]
tag = "Line.Lamps"
address = 0
access = "value"
type = "u8"
)");
        ASSERT_STREQ(KoStoreError(), "");
    }

    // ecatslaves with args, then the service, asked to run.
    void start(const std::vector<std::string> &slave_args)
    {
        std::string why;
        ASSERT_TRUE(wire_->start_slaves(slave_args, &why)) << why;
        service_ = std::make_unique<testnode::Child>(
            testnode::Child::program({IOHOST_PATH, "-rsl", ECATLINK_PATH}, {"KO_SERVICE=ECAT"}));
        ASSERT_TRUE(eventually([] { return get("SERVICE.ECAT.Status") == 1; }));
        ASSERT_EQ(testnode::run_program({KO_PATH, "ctl", "ECAT", "run"}).code, 0);
    }

    void stop()
    {
        kill(service_->pid(), SIGTERM);
        EXPECT_EQ(service_->wait(10000), 0);
        service_.reset();
        wire_->pull_cable();
    }

    std::unique_ptr<testnode::WireBus> wire_;
    std::unique_ptr<testnode::Child> service_;
};

TEST_F(Wire, StartUpNamesTheSlaveThatIsMissingOrWrongOrRefusesAState)
{
    std::string dir = testnode::node_dir();
    std::ofstream(dir + "/short.toml") << "[[terminal]]\nname = \"K1\"\ntype = \"EK1100\"\n\n"
                                          "[[terminal]]\nname = \"DI1\"\ntype = \"EL1008\"\n";
    std::ofstream(dir + "/swapped.toml") << "[[terminal]]\nname = \"K1\"\ntype = \"EK1100\"\n\n"
                                            "[[terminal]]\nname = \"DO1\"\ntype = \"EL2008\"\n\n"
                                            "[[terminal]]\nname = \"DI1\"\ntype = \"EL1008\"\n";
    const struct {
        std::vector<std::string> slaves;
        const char *reported;
        int64_t state;
    } cases[] = {
        {{"--bus", dir + "/short.toml"}, "slave 2 DO1 (EL2008) is missing: the chain ends after 2 slaves", 1},
        {{"--bus", dir + "/swapped.toml"},
         "slave 1 DI1 (EL1008): the bus file has product 0x03F03052, the chain has EL2008 (vendor 0x00000002, "
         "product 0x07D83052)",
         1},
        {{"--bus", dir + "/line.toml", "--misplaced-sii", "DO1"},
         "slave 2 DO1 (EL2008) refused SAFEOP (it stays in PREOP): AL status code 0x001D invalid output "
         "configuration",
         2},
        {{"--bus", dir + "/line.toml", "--misplaced-sii", "DI1"},
         "slave 1 DI1 (EL1008) refused SAFEOP (it stays in PREOP): AL status code 0x001E invalid input "
         "configuration",
         2},
    };
    for (const auto &c : cases) {
        start(c.slaves);
        std::string line = std::string("ecatwire ERR EtherCAT on ") + wire_->master_end() + ": " + c.reported;
        EXPECT_TRUE(eventually([&] { return node_log().find(line) != std::string::npos; })) << line << "\n"
                                                                                             << node_log();
        EXPECT_EQ(get("ECATSIM.line.State"), c.state) << c.reported;
        EXPECT_EQ(get("SERVICE.ECAT.Connected"), 0) << c.reported;
        EXPECT_EQ(testnode::await_log_count(line, 1u), 1u) << "said once, however often the service retries";
        stop();
    }
}

TEST_F(Wire, ABusWithoutProcessDataStillNoticesAPulledCable)
{
    std::ofstream(testnode::node_dir() + "/couplers.toml") << "[[terminal]]\nname = \"K1\"\ntype = \"EK1100\"\n";
    std::ofstream(testnode::node_dir() + "/line.toml") << "[[terminal]]\nname = \"K1\"\ntype = \"EK1100\"\n";
    start({"--bus", testnode::node_dir() + "/couplers.toml"});
    ASSERT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 1 && get("ECATSIM.line.State") == 8; }))
        << node_log();
    int64_t cycles = get("ECATSIM.line.Cycles");
    ASSERT_TRUE(eventually([&] { return get("ECATSIM.line.Cycles") > cycles + 10; })) << "cycles pass";
    wire_->pull_cable();
    EXPECT_TRUE(eventually([] { return get("ECATSIM.line.State") == 1 && get("SERVICE.ECAT.Connected") == 0; }))
        << node_log();
    stop();
}

TEST_F(Wire, WrongWorkingCountersLoseCyclesThenTheLinkUntilTheyAreRightAgain)
{
    start({"--bus", testnode::node_dir() + "/line.toml"});
    ASSERT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 1 && get("ECATSIM.line.State") == 8; }))
        << node_log();
    ASSERT_EQ(testnode::run_program({KO_PATH, "set", "Line.Lamps", "165"}).code, 0);
    ASSERT_TRUE(eventually([] { return get("Line.Barriers") == 165; }));
    int64_t lost = get("ECATSIM.line.LostCycles");
    uint8_t on = 1;
    ASSERT_EQ(KoTagWrite("ECATSLAVES.line.Fault.WrongWkc", &on, 1), KO_OK);
    std::string down = "3 cycles in a row lost (no answer or a wrong working counter): the link is down";
    EXPECT_TRUE(eventually([&] { return node_log().find(down) != std::string::npos; })) << node_log();
    EXPECT_TRUE(eventually([&] { return get("ECATSIM.line.LostCycles") >= lost + 3; })) << "published after the line";
    // Reconnections meet the fault again and again: it is said once.
    EXPECT_TRUE(eventually([] { return get("ECATSIM.line.LostCycles") > 100; })) << node_log();
    EXPECT_EQ(testnode::await_log_count(down, 1u), 1u);
    on = 0;
    ASSERT_EQ(KoTagWrite("ECATSLAVES.line.Fault.WrongWkc", &on, 1), KO_OK);
    EXPECT_TRUE(eventually([] { return get("SERVICE.ECAT.Connected") == 1 && get("ECATSIM.line.State") == 8; }))
        << node_log();
    EXPECT_TRUE(eventually([] { return get("Line.Barriers") == 165; }));
    stop();
}

}  // namespace
