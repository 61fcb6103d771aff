// konode as a user runs it: config errors refused before anything starts,
// the demo plant up and ended cleanly, a killed service restarted, one that
// dies at every start given up, a node in the background ended by down.
#include "child_process.h"
#include "kohgapi.h"
#include "rt.h"
#include "supervisor.h"
#include "test_node.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using testnode::eventually;
using testnode::node_log;
int64_t (&tag)(const std::string &) = testnode::tag_value;

std::string write_config(const std::string &name, const std::string &text)
{
    std::string path = testnode::node_dir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

struct BadConfig {
    const char *what;
    const char *text;
    const char *error;  // after "PATH:"
};

TEST(Konode, CheckAndUpRefuseConfigErrorsWithFileLineAndKey)
{
    const BadConfig rows[] = {
        {"syntax", "[[service]\nname = \"A\"\n", "1:11: syntax: "},
        {"unknown key", "[[service]]\nname = \"A\"\ndriver = \"x.rsl\"\ncolour = 1\n", "4:1: service[0].colour: unknown key"},
        {"overlong name", "[[service]]\nname = \"A_SERVICE_NAME_THAT_IS_LONG\"\n",
         "2:8: service[0].name: service name \"A_SERVICE_NAME_THAT_IS_LONG\" is 27 characters; the limit is 17"},
        {"duplicate service", "[[service]]\nname = \"A\"\ndriver = \"" TEST_DRIVER "\"\n[[service]]\nname = \"A\"\n",
         "5:8: service[1].name: duplicate service \"A\""},
        {"unknown driver", "[[service]]\nname = \"A\"\ndriver = \"nodriver.rsl\"\n",
         "3:10: service[0].driver: \"nodriver.rsl\" is not in "},
        {"unknown program", "[[app]]\nname = \"x\"\ncommand = [\"no-such-program\"]\n",
         "3:11: app[0].command: \"no-such-program\" is no program beside konode or on PATH"},
    };
    for (const BadConfig &r : rows) {
        std::string path = write_config("bad.toml", r.text);
        for (const char *command : {"check", "up"}) {
            auto result = testnode::run_program({KONODE_PATH, command, path});
            EXPECT_EQ(result.code, 2) << command << " " << r.what << ": " << result.err;
            EXPECT_EQ(result.err.rfind(path + ":" + r.error, 0), 0u) << command << " " << r.what << ": " << result.err;
        }
    }
    std::ifstream copied(testnode::node_dir() + "/node.toml");
    EXPECT_FALSE(copied.good()) << "konode up started nothing, not even the node";
    for (const char *config : {DEMO_CONFIG, EXAMPLE_CONFIG}) {
        auto good = testnode::run_program({KONODE_PATH, "check", config});
        EXPECT_EQ(good.code, 0) << config << ": " << good.err;
    }
}

// What a start would meet is found by check: every error in one run, each
// with its file, line and key, and nothing blocks on a file that is no file.
TEST(Konode, CheckFindsWhatAStartWouldMeetAndReportsEveryError)
{
    std::string dir = testnode::node_dir();
    std::ofstream(dir + "/bad_bus.toml") << "[[terminal]]\nname = \"X\"\ntype = \"EL9999\"\n";
    mkfifo((dir + "/pipe_bus.toml").c_str(), 0600);
    std::ofstream(dir + "/junk.rsl") << "not a library\n";
    int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    getsockname(busy, reinterpret_cast<sockaddr *>(&at), &size);
    std::string busy_port = std::to_string(ntohs(at.sin_port));
    const struct {
        const char *what;
        std::string text;
        std::vector<std::string> errors;  // each found in what check prints
    } rows[] = {
        {"two errors, a key misspelt",
         "[[service]]\nname = \"A\"\ndriver = \"mbuslnk.rsl\"\nautostrat = true\n[[app]]\nname = \"x\"\ncolour = 1\n"
         "command = [\"sh\"]\n",
         {"bad.toml:4:1: service[0].autostrat: unknown key; did you mean autostart?\n",
          "bad.toml:7:1: app[0].colour: unknown key\n"}},
        {"a driver misspelt", "[[service]]\nname = \"A\"\ndriver = \"mbuslnk.rsl\"\n",
         {"bad.toml:3:10: service[0].driver: \"mbuslnk.rsl\" is not in ", "; did you mean mbuslink.rsl?\n"}},
        {"a driver that does not load", "[[service]]\nname = \"A\"\ndriver = \"" + dir + "/junk.rsl\"\n",
         {"junk.rsl\": it cannot be loaded"}},
        {"a bus file the master refuses", "[[ethercat]]\nname = \"b\"\nbus = \"bad_bus.toml\"\n",
         {"bad_bus.toml:3:8: terminal[0].type: unknown type \"EL9999\""}},
        {"a network interface the machine lacks", "[[ethercat]]\nname = \"w\"\ninterface = \"nosuchif0\"\n",
         {"ethercat w: interface \"nosuchif0\": no such network interface on this machine"}},
        {"a bus file that is a pipe", "[[ethercat]]\nname = \"b\"\nbus = \"pipe_bus.toml\"\n",
         {"pipe_bus.toml:1:1: bus file: is not a regular file"}},
        {"a Modbus address too long for the driver",
         "[[service]]\nname = \"M\"\ndriver = \"mbuslink.rsl\"\nsettings = { IsMaster = 1 }\n"
         "properties = { NodeName = { Address = \"127.0.0.1:15083\" } }\n",
         {"bad.toml:5:27: service[0].properties.NodeName.Address: \"127.0.0.1:15083\" is 15 characters; the Modbus "
          "driver takes at most 14"}},
        {"a server port in use",
         "[[modbus]]\nname = \"panel\"\naddress = \"127.0.0.1\"\nport = " + busy_port +
             "\n[[service]]\nname = \"M\"\ndriver = \"mbuslink.rsl\"\nproperties = { NodeName = { Address = \"panel\" } }\n",
         {"127.0.0.1:" + busy_port + " cannot be served: Address already in use (another program listens there)"}},
        {"a Modbus device nobody declared",
         "[[modbus]]\nname = \"panel\"\naddress = \"127.0.0.1\"\n[[service]]\nname = \"M\"\ndriver = \"mbuslink.rsl\"\n"
         "properties = { NodeName = { Address = \"panle\" } }\n",
         {"\"panle\" is no IPv4 address and no [[modbus]] device; did you mean panel?"}},
        {"one tag, two types",
         "[[service]]\nname = \"A\"\ndriver = \"" TEST_DRIVER "\"\n[[service.input]]\ntag = \"T\"\naddress = 0\n"
         "access = \"value\"\ntype = \"u8\"\n[[service.output]]\ntag = \"T\"\naddress = 1\naccess = \"value\"\n"
         "type = \"u16\"\n",
         {"bad.toml:13:8: service[0].output[0].type: tag T is u16 here but u8 at service[0].input[0]"}},
    };
    for (const auto &r : rows) {
        std::string path = write_config("bad.toml", r.text);
        auto result = testnode::run_program({KONODE_PATH, "check", path}, {}, 20000);
        EXPECT_EQ(result.code, 2) << r.what << ": " << result.err;
        for (const std::string &e : r.errors)
            EXPECT_NE(result.err.find(e), std::string::npos) << r.what << ": " << result.err;
    }
    close(busy);
}

// konode makes the node's tag store afresh (after it has taken the node's
// lock): look at the node only once konode runs its children, whose notes
// it keeps in konode.notes.
testnode::Child start_konode(const std::string &config)
{
    testnode::Child node = testnode::Child::program({KONODE_PATH, "up", config});
    std::string notes = testnode::node_dir() + "/konode.notes";
    EXPECT_TRUE(eventually([&] { return std::ifstream(notes).good(); })) << "konode runs the node";
    return node;
}

int mbpoll_register(int reg)
{
    auto r = testnode::run_program({"/usr/bin/mbpoll", "-m", "tcp", "-p", "1502", "-1", "-r", std::to_string(reg),
                                    "127.0.0.1"});
    size_t at = r.out.find("[" + std::to_string(reg) + "]:");
    return r.code == 0 && at != std::string::npos ? std::stoi(r.out.substr(at + 4)) : -100000;
}

TEST(Konode, TheDemoPlantComesUpMovesAndEndsCleanly)
{
    testnode::Child node = start_konode(DEMO_CONFIG);
    EXPECT_TRUE(eventually(
        [] {
            return tag("SERVICE.ECAT.Status") == 1 && tag("SERVICE.ECAT.Run") == 1 &&
                   tag("SERVICE.MODBUS.Status") == 1 && tag("SERVICE.MODBUS.Run") == 1;
        },
        10000))
        << node_log();
    int64_t tx = tag("SERVICE.ECAT.CAN.TxCount"), rx = tag("SERVICE.ECAT.CAN.RxCount");
    EXPECT_TRUE(eventually([&] { return tag("SERVICE.ECAT.CAN.TxCount") > tx + 2 && tag("SERVICE.ECAT.CAN.RxCount") > rx + 2; }))
        << "CAN frames cross between the gateways";
    EXPECT_TRUE(eventually([] { return tag("Line1.Lamps") > 0 && tag("Line1.Barriers") == tag("Line1.Lamps"); }))
        << "the light barriers follow the lamps";
    int first = mbpoll_register(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int second = mbpoll_register(1);
    EXPECT_NE(first, -100000) << "mbpoll reads the oven temperature";
    EXPECT_NE(first, second) << "and it moves";

    // Each service's real-time threads on a CPU of their own, from the last down.
    auto json = testnode::run_program({KONODE_PATH, "status", "--json"});
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
        if (CPU_ISSET(cpu, &allowed))
            cpus.push_back(cpu);
    std::string ecat = "\"cpu\":" + std::to_string(cpus[0]) + "}",
                modbus = "\"cpu\":" + std::to_string(cpus[1 % cpus.size()]) + "}";
    EXPECT_NE(json.out.find("\"name\":\"ECAT\""), std::string::npos);
    EXPECT_NE(json.out.find(ecat), std::string::npos) << json.out;
    EXPECT_NE(json.out.find(modbus), std::string::npos) << json.out;

    kill(node.pid(), SIGTERM);
    EXPECT_EQ(node.wait(15000), 0);
    EXPECT_EQ(tag("SERVICE.ECAT.Status"), 0);
    EXPECT_EQ(tag("SERVICE.MODBUS.Status"), 0);
    std::ifstream console(testnode::node_dir() + "/ECAT.console");
    std::string text((std::istreambuf_iterator<char>(console)), {});
    EXPECT_NE(text.find("[LOG] : End ECAT Service"), std::string::npos) << text;
    EXPECT_EQ(KoServiceEnumerate(nullptr, 0), 0u) << "no service of the node is left";
}

std::string test_node_config(bool with_broken)
{
    std::string text = "[[service]]\nname = \"TEST\"\ndriver = \"" TEST_DRIVER "\"\nautostart = true\n"
                       "settings = { Mode = 1, Cycle = 20 }\n";
    if (with_broken)
        text += "[[service]]\nname = \"BROKEN\"\ndriver = \"" BROKEN_DRIVER "\"\nautostart = true\n";
    return text;
}

int32_t pid_of(const char *service)
{
    KoServiceInfo running[8];
    uint32_t n = KoServiceEnumerate(running, 8);
    for (uint32_t i = 0; i < n && i < 8; ++i)
        if (std::string(running[i].name) == service)
            return running[i].pid;
    return 0;
}

TEST(Konode, AKilledServiceIsRestartedAndOneThatAlwaysDiesIsGivenUp)
{
    std::string path = write_config("plant.toml", test_node_config(true));
    testnode::Child node = start_konode(path);
    ASSERT_TRUE(eventually([] { return tag("SERVICE.TEST.Run") == 1 && pid_of("TEST") != 0; })) << node_log();
    int32_t first = pid_of("TEST");
    kill(first, SIGKILL);
    EXPECT_TRUE(eventually([&] {
        int32_t now = pid_of("TEST");  // one look: the old process may be seen gone between two
        return now != 0 && now != first && tag("SERVICE.TEST.Run") == 1;
    })) << node_log();
    EXPECT_NE(node_log().find("service TEST was killed by signal 9 (Killed); restarting in 0.1 s"), std::string::npos) << node_log();
    EXPECT_TRUE(eventually([] { return node_log().find("service BROKEN exited with") != std::string::npos &&
                                       node_log().find("given up after 5 starts within 10 s") != std::string::npos; }))
        << node_log();
    EXPECT_EQ(tag("SERVICE.TEST.Status"), 1) << "the others keep running";
    kill(node.pid(), SIGTERM);
    EXPECT_EQ(node.wait(15000), 1) << "a service was given up: not a clean end";
    EXPECT_EQ(pid_of("TEST"), 0);
}

TEST(Konode, UpInTheBackgroundReturnsOnceUpAndDownEndsIt)
{
    std::string path = write_config("plant.toml", test_node_config(false));
    auto up = testnode::run_program({KONODE_PATH, "up", "-d", path});
    EXPECT_EQ(up.code, 0) << up.err;
    EXPECT_NE(up.out.find("node up in "), std::string::npos) << up.out;
    EXPECT_TRUE(eventually([] { return tag("SERVICE.TEST.Run") == 1; }));
    auto status = testnode::run_program({KONODE_PATH, "status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find("TEST"), std::string::npos) << status.out;
    auto again = testnode::run_program({KONODE_PATH, "up", path});
    EXPECT_EQ(again.code, 1) << "one konode per node";
    auto down = testnode::run_program({KONODE_PATH, "down"});
    EXPECT_EQ(down.code, 0) << down.err;
    EXPECT_EQ(tag("SERVICE.TEST.Status"), 0);
    EXPECT_EQ(pid_of("TEST"), 0);
    EXPECT_EQ(testnode::run_program({KONODE_PATH, "down"}).code, 1) << "nothing left to end";
}

bool process_alive(pid_t pid)
{
    return pid > 0 && kill(pid, 0) == 0;
}

pid_t konode_pid()
{
    std::ifstream in(testnode::node_dir() + "/konode.pid");
    pid_t pid = 0;
    in >> pid;
    return pid;
}

TEST(Konode, OneKonodeRunsANodeAndWhatItStartedEndsWithIt)
{
    std::string path = write_config("plant.toml", test_node_config(false) +
                                                      "[[app]]\nname = \"sleeper\"\ncommand = [\"sleep\", \"600\"]\n");
    // A process an earlier konode of this node left behind.
    testnode::Child leftover = testnode::Child::program({"/bin/sleep", "600"});
    std::ofstream(testnode::node_dir() + "/konode.children")
        << leftover.pid() << " " << RtProcessStartTime(leftover.pid()) << " OLD\n";

    testnode::Child first = testnode::Child::program({KONODE_PATH, "up", "-d", path});
    testnode::Child second = testnode::Child::program({KONODE_PATH, "up", "-d", path});
    int codes[2] = {first.wait(30000), second.wait(30000)};
    EXPECT_EQ(codes[0] + codes[1], 1) << "one up wins, the other is refused: " << codes[0] << " " << codes[1];
    EXPECT_EQ(leftover.wait(10000), 128 + SIGTERM) << "the earlier node's process was ended";
    auto again = testnode::run_program({KONODE_PATH, "up", "-d", path});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("a node runs in " + testnode::node_dir() + " already (konode pid " +
                             std::to_string(konode_pid()) + ")"),
              std::string::npos)
        << again.err;

    ASSERT_TRUE(eventually([] { return pid_of("TEST") != 0; }));
    pid_t service = pid_of("TEST");
    kill(konode_pid(), SIGKILL);
    EXPECT_TRUE(eventually([&] { return !process_alive(service); })) << "the service ends with its konode";
    auto status = testnode::run_program({KONODE_PATH, "status"});
    EXPECT_EQ(status.code, 3) << status.out;
    EXPECT_EQ(status.out, "node not running\n");

    auto up = testnode::run_program({KONODE_PATH, "up", "-d", path});
    EXPECT_EQ(up.code, 0) << up.err;
    EXPECT_EQ(up.err.find("still runs"), std::string::npos) << "nothing was left: " << up.err;
    EXPECT_EQ(testnode::run_program({KONODE_PATH, "down"}).code, 0);
    status = testnode::run_program({KONODE_PATH, "status"});
    EXPECT_EQ(status.code, 3);
    EXPECT_EQ(status.out.rfind("node not running (ended at 20", 0), 0u) << status.out;
}

TEST(Konode, UpNamesEachServiceThatDidNotStartAndAGivenUpServiceLooksDead)
{
    std::string path = write_config("plant.toml", test_node_config(true));
    auto up = testnode::run_program({KONODE_PATH, "up", "-d", "--timeout", "5", path});
    EXPECT_EQ(up.code, 1) << up.out;
    EXPECT_NE(up.err.find("konode: service BROKEN did not start: given up: exited with"), std::string::npos) << up.err;
    EXPECT_NE(up.err.find("its console says: "), std::string::npos) << up.err;
    EXPECT_EQ(up.err.find("service TEST"), std::string::npos) << "TEST came up: " << up.err;

    // A service that dies at every start is given up, and its tags say so.
    ASSERT_TRUE(eventually([] { return tag("SERVICE.TEST.Run") == 1; }));
    for (int start = 0; start < 5; ++start) {
        int32_t pid = 0;
        ASSERT_TRUE(eventually([&] { return (pid = pid_of("TEST")) != 0 && tag("SERVICE.TEST.Status") == 1; }))
            << "start " << start << "\n" << node_log();
        kill(pid, SIGKILL);
        ASSERT_TRUE(eventually([&] { return pid_of("TEST") != pid; }));
    }
    EXPECT_TRUE(eventually([] {
        return testnode::run_program({KONODE_PATH, "status"}).out.find("given up: was killed by signal 9") !=
               std::string::npos;
    })) << testnode::run_program({KONODE_PATH, "status"}).out;
    for (const char *flag : {"Status", "Run", "Connected"})
        EXPECT_EQ(tag(std::string("SERVICE.TEST.") + flag), 0) << flag;
    auto json = testnode::run_program({KONODE_PATH, "status", "--json"});
    EXPECT_NE(json.out.find("\"name\":\"TEST\",\"pid\":null,\"status\":0"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"restarts\":4,\"state\":\"given up: was killed by signal 9 (Killed)\""),
              std::string::npos)
        << json.out;
    EXPECT_EQ(testnode::run_program({KONODE_PATH, "down"}).code, 0);
}

TEST(Konode, AStoppedServiceStaysStoppedUntilKonodeStart)
{
    std::string path = write_config("plant.toml", test_node_config(false));
    ASSERT_EQ(testnode::run_program({KONODE_PATH, "up", "-d", path}).code, 0);
    int32_t before = pid_of("TEST");
    auto stop = testnode::run_program({KO_PATH, "ctl", "TEST", "stop"});
    EXPECT_EQ(stop.code, 0) << stop.err;
    EXPECT_TRUE(eventually([] {
        return testnode::run_program({KONODE_PATH, "status"}).out.find("  stopped\n") != std::string::npos;
    })) << testnode::run_program({KONODE_PATH, "status"}).out;
    EXPECT_EQ(pid_of("TEST"), 0) << "not restarted";
    auto typo = testnode::run_program({KONODE_PATH, "start", "TSET"});
    EXPECT_EQ(typo.code, 1);
    EXPECT_NE(typo.err.find("no service or app TSET; did you mean TEST?"), std::string::npos) << typo.err;
    auto start = testnode::run_program({KONODE_PATH, "start", "TEST"});
    EXPECT_EQ(start.code, 0) << start.err;
    EXPECT_EQ(start.out, "service TEST runs\n");
    EXPECT_NE(pid_of("TEST"), before);
    EXPECT_TRUE(eventually([] { return tag("SERVICE.TEST.Run") == 1; })) << "an autostart service runs again";
    EXPECT_EQ(testnode::run_program({KONODE_PATH, "down"}).code, 0);
}

TEST(Konode, RestartsBackOffFromATenthOfASecondEvenAfterALongHealthyRun)
{
    const struct {
        size_t starts_in_window;
        int delay_ms;
    } rows[] = {{0, 100}, {1, 100}, {2, 200}, {3, 400}, {4, 800}, {6, 3200}, {7, 5000}, {40, 5000}};
    for (const auto &r : rows)
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(konode::restart_delay(r.starts_in_window)).count(),
                  r.delay_ms)
            << r.starts_in_window << " starts in the window";
}

}  // namespace
