// A Modbus service as a user runs it: iohost with the Modbus driver polling
// a pymodbus TCP server, its inputs reaching their tags and an output set
// with ko reaching the server.
#include "child_process.h"
#include "kohgapi.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <gtest/gtest.h>
#include <modbus.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testnode::eventually;
int64_t (&get)(const std::string &) = testnode::tag_value;
using testnode::node_log;

// Four digits, so that "127.0.0.1:PORT" fits the 14 characters of host; a
// test uses up to four ports from here, and tests running at once (nearby
// pids) get blocks of their own.
int test_port()
{
    return 5000 + (getpid() % 1000) * 4;
}

// A libmodbus client of the test's own, to look at the server.
struct Client {
    explicit Client(int port) : context(modbus_new_tcp("127.0.0.1", port)) {}
    ~Client()
    {
        modbus_close(context);
        modbus_free(context);
    }
    bool connect() { return modbus_connect(context) == 0; }
    int holding(int address)
    {
        uint16_t value = 0;
        return modbus_read_registers(context, address, 1, &value) == 1 ? value : -1;
    }
    modbus_t *context;
};

// iohost with the Modbus driver for a service of the node config, told to
// run once its set-up is over; a failure to get there is a test failure.
testnode::Child start_service(const std::string &name)
{
    testnode::Child service = testnode::Child::program({IOHOST_PATH, "-rsl", MBUSLINK_PATH}, {"KO_SERVICE=" + name});
    uintptr_t mailbox = 0;
    EXPECT_TRUE(eventually([&] { return get("SERVICE." + name + ".Status") == 1; })) << name << " started\n" << node_log();
    EXPECT_EQ(KoMailboxOpen(name.c_str(), 2, &mailbox), KO_OK);
    EXPECT_EQ(KoMailboxSend(mailbox, name.c_str(), EM_SERVICE_RUN, nullptr, 0), KO_OK);
    return service;
}

TEST(MbuslinkService, PollsAPymodbusServerAndWritesItsOutputs)
{
    int port = test_port();
    std::string address = "127.0.0.1:" + std::to_string(port);
    testnode::write_node_config(R"([[tag]]
name = "Plant.Block"
type = "segment"
size = 400

[[service]]
name = "MB"
settings = { Mode = 1, Cycle = 20, IsMaster = 1, Timeout = 1000 }
properties = { NodeName = { address = ")" + address + R"(" } }

[[service.input]]
tag = "Plant.Level"
address = 400001
access = "value"
type = "u16"

[[service.input]]
tag = "Plant.Flow"
address = 300003
access = "value"
type = "u32"

[[service.input]]
tag = "Plant.Pump"
address = 1
access = "bit"
bit = 0

[[service.input]]
tag = "Plant.Valve"
address = 1
access = "bit"
bit = 3

[[service.input]]
tag = "Plant.Block"
address = 400101
access = "segment"

[[service.output]]
tag = "Plant.Setpoint"
address = 400301
access = "value"
type = "u16"
)");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child server = testnode::Child::program({"/usr/bin/python3", PYMODBUS_SERVER, std::to_string(port)});
    Client look(port);
    ASSERT_TRUE(eventually([&] { return look.connect(); })) << "the pymodbus server listens";

    testnode::Child service = start_service("MB");
    ASSERT_TRUE(eventually([] { return get("SERVICE.MB.Connected") == 1; }));

    // The block is the last point of a cycle: once it is in, the cycle's other points are too.
    uint32_t block = 0;
    uint16_t words[200] = {};
    ASSERT_EQ(KoTagGetProperty("Plant.Block", "Entry", &block, 4), KO_OK);
    EXPECT_TRUE(eventually([&] { return KoTagReadSegment(block, 0, words, sizeof words) == KO_OK && words[199] != 0; }));
    EXPECT_EQ(get("Plant.Level"), 1000);
    // Two input registers, the first the low word: 2002 + 2003 << 16.
    EXPECT_EQ(get("Plant.Flow"), 2002 + (int64_t{2003} << 16));
    EXPECT_EQ(get("Plant.Pump"), 1) << "coil 1";
    EXPECT_EQ(get("Plant.Valve"), 1) << "coil 4";
    EXPECT_EQ(words[0], 1100);
    EXPECT_EQ(words[199], 1299) << "200 registers, read in two requests";
    EXPECT_EQ(get("SERVICE.MB.Error"), 0);

    auto set = testnode::run_program({KO_PATH, "set", "Plant.Setpoint", "4242"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_TRUE(eventually([&] { return look.holding(300) == 4242; })) << "the output is on the server";

    kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(10000), 0);
}

// The server goes away for a few seconds and comes back with its start-up
// values: the service recovers by itself and puts its outputs there again.
// A device killed and started again under a running service, in each way a
// device is named: the IPv4 form, a [[modbus]] device, and a serial line
// (Modbus RTU over a socat pty pair), with the settings of the docs'
// example. While it is away its failure shows in DeviceOK; within 2 s of its
// return the service reads fresh values (the new server's registers differ).
TEST(MbuslinkService, EveryKindOfDeviceComesBackWithFreshValuesWithinTwoSeconds)
{
    if (access("/usr/bin/socat", X_OK) != 0)
        GTEST_SKIP() << "socat is not installed (make test installs it)";
    int port = test_port();
    std::string dir = testnode::node_dir();
    testnode::Child socat = testnode::Child::program(
        {"/usr/bin/socat", "pty,raw,echo=0,link=" + dir + "/ttyA", "pty,raw,echo=0,link=" + dir + "/ttyB"});
    ASSERT_TRUE(eventually([&] { return access((dir + "/ttyA").c_str(), F_OK) == 0 && access((dir + "/ttyB").c_str(), F_OK) == 0; }));
    std::string config = "[[modbus]]\nname = \"tank\"\naddress = \"127.0.0.1\"\nport = " + std::to_string(port + 1) +
                         "\n[[modbus]]\nname = \"line\"\ndevice = \"" + dir + "/ttyA\"\n";
    const struct {
        const char *service, *address;
        std::vector<std::string> server;  // the server's arguments, before its base value
    } devices[] = {
        {"MIP", "", {std::to_string(port)}},
        {"MNAMED", "tank", {std::to_string(port + 1)}},
        {"MRTU", "line", {"rtu", dir + "/ttyB"}},
    };
    for (const auto &d : devices)
        config += std::string("[[service]]\nname = \"") + d.service +
                  "\"\nsettings = { Mode = 1, Cycle = 20, IsMaster = 1, ExecuteReConnect = 1 }\n"
                  "properties = { NodeName = { address = \"" +
                  (d.address[0] != '\0' ? std::string(d.address) : "127.0.0.1:" + std::to_string(port)) +
                  "\" } }\n[[service.input]]\ntag = \"Level." + d.service +
                  "\"\naddress = 400001\naccess = \"value\"\ntype = \"u16\"\n";
    testnode::write_node_config(config);
    ASSERT_STREQ(KoStoreError(), "");
    auto start_server = [&](const std::vector<std::string> &args, int base) {
        std::vector<std::string> argv{"/usr/bin/python3", PYMODBUS_SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(std::to_string(base));
        auto server = std::make_unique<testnode::Child>(testnode::Child::program(argv));
        EXPECT_EQ(server->read_line(20000), "ready");
        return server;
    };
    std::vector<std::unique_ptr<testnode::Child>> servers, services;
    for (const auto &d : devices) {
        servers.push_back(start_server(d.server, 1000));
        services.push_back(std::make_unique<testnode::Child>(start_service(d.service)));
    }
    for (const auto &d : devices) {
        std::string p = std::string("SERVICE.") + d.service + ".";
        EXPECT_TRUE(eventually([&] { return get(std::string("Level.") + d.service) == 1000; })) << d.service;
        EXPECT_EQ(get(p + "DeviceOK"), 1) << d.service;
    }
    servers.clear();  // every device away
    for (const auto &d : devices) {
        std::string p = std::string("SERVICE.") + d.service + ".";
        EXPECT_TRUE(eventually([&] { return get(p + "DeviceOK") == 0; })) << d.service << " is seen failing";
        EXPECT_GE(get(p + "DeviceFailures"), 3) << d.service;
        EXPECT_EQ(get(p + "Connected"), 1) << d.service << ": the driver's connection check keeps its meaning";
    }
    EXPECT_EQ(testnode::await_log_count("Modbus device tank failing: ", 1u), 1u) << node_log();
    auto status = testnode::run_program({KO_PATH, "status", "MNAMED"});
    EXPECT_NE(status.out.find("  device failing: "), std::string::npos) << status.out;
    for (size_t i = 0; i < std::size(devices); ++i) {
        servers.push_back(start_server(devices[i].server, 3000));
        std::string level = std::string("Level.") + devices[i].service;
        EXPECT_TRUE(eventually([&] { return get(level) == 3000; }, 2000))
            << devices[i].service << " reads fresh values within 2 s: " << get(level);
        EXPECT_TRUE(eventually([&] { return get(std::string("SERVICE.") + devices[i].service + ".DeviceOK") == 1; }));
    }
    EXPECT_EQ(testnode::await_log_count("Modbus device tank answers again", 1u), 1u) << node_log();
    for (auto &service : services) {
        kill(service->pid(), SIGTERM);
        EXPECT_EQ(service->wait(10000), 0);
    }
}

// A point on an address the device lacks stops the service (misuse), and
// every report names the point, its address, the device and the exception.
TEST(MbuslinkService, APointTheDeviceLacksIsNamedWhereverTheFailureShows)
{
    int port = test_port();
    std::string device = "127.0.0.1:" + std::to_string(port);
    testnode::write_node_config(R"([[service]]
name = "MEX"
settings = { Mode = 1, Cycle = 20, IsMaster = 1 }
properties = { NodeName = { address = ")" + device + R"(" } }

[[service.input]]
tag = "Plant.Missing"
address = 400500
access = "value"
type = "u16"
)");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child server = testnode::Child::program({"/usr/bin/python3", PYMODBUS_SERVER, std::to_string(port)});
    ASSERT_EQ(server.read_line(20000), "ready");
    testnode::Child service = start_service("MEX");
    std::string said = "Modbus device " + device + " refused point Plant.Missing (address 400500): Modbus exception 2, "
                       "illegal data address: the device has no such address";
    EXPECT_TRUE(eventually([&] { return testnode::log_count(said) == 1; })) << node_log();
    auto status = testnode::run_program({KO_PATH, "status", "MEX"});
    EXPECT_NE(status.out.find("device failing: point Plant.Missing (address 400500): Modbus exception 2"),
              std::string::npos)
        << status.out;
    kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(10000), 0);
    std::string console = service.read_line(100);
    while (!console.empty() && console.find("E$MODBUS") == std::string::npos)
        console = service.read_line(100);
    EXPECT_NE(console.find("refused point Plant.Missing (address 400500)"), std::string::npos) << console;
}

// A device that never answers holds no cycle past its timeout, and a stop
// ends the service within about that time, whatever the Timeout setting's
// default would allow.
TEST(MbuslinkService, ASilentDeviceNeitherHoldsTheCyclesNorTheStop)
{
    int port = test_port();
    testnode::write_node_config(R"([[modbus]]
name = "mute"
address = "127.0.0.1"
port = )" + std::to_string(port) + R"(

[[service]]
name = "MSI"
settings = { Mode = 1, Cycle = 20, IsMaster = 1, ExecuteReConnect = 1 }
properties = { NodeName = { address = "mute" } }

[[service.input]]
tag = "Plant.Level"
address = 400001
access = "value"
type = "u16"
)");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child device = testnode::Child::program({"/usr/bin/python3", MODBUS_PEER, "device", std::to_string(port), "silent"});
    ASSERT_EQ(device.read_line(20000), "ready");
    testnode::Child service = start_service("MSI");
    EXPECT_EQ(get("SERVICE.MSI.Timeout"), 600000) << "the container's default, which the device's timeout_ms bounds";
    EXPECT_TRUE(eventually([] { return get("SERVICE.MSI.DeviceOK") == 0; }, 20000)) << node_log();
    EXPECT_GE(testnode::await_log_count("Modbus device mute failing: no answer within the response timeout", 1u), 1u);
    auto begin = std::chrono::steady_clock::now();
    auto stop = testnode::run_program({KO_PATH, "ctl", "MSI", "stop"});
    EXPECT_EQ(stop.code, 0) << stop.err;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << "about one response timeout";
    EXPECT_EQ(service.wait(5000), 0);
}

// An address of 15 characters would be cut into another device's address:
// the service reaches no device at all and says why.
TEST(MbuslinkService, AnAddressTooLongForTheHostFieldReachesNoDevice)
{
    int decoy_port = 1100 + getpid() % 3800;  // four digits, below the other tests' ports: the address cut to 14 characters
    std::string address = "127.0.0.1:" + std::to_string(decoy_port * 10);
    testnode::write_node_config(R"([[service]]
name = "MBL"
settings = { Mode = 1, Cycle = 20, IsMaster = 1 }
properties = { NodeName = { address = ")" + address + R"(" } }
)");
    ASSERT_STREQ(KoStoreError(), "");
    // Something listens where the cut text points.
    testnode::Child decoy = testnode::Child::program({"/usr/bin/python3", PYMODBUS_SERVER, std::to_string(decoy_port)});
    Client look(decoy_port);
    ASSERT_TRUE(eventually([&] { return look.connect(); }));
    testnode::Child service = start_service("MBL");
    // The open fails with the misuse code (the driver's connection check
    // then reports connected, as it always does, so the log is the witness).
    EXPECT_TRUE(eventually([] { return node_log().find("Open Failure. Status[100H] API Status[10016H]") != std::string::npos; }))
        << node_log();
    EXPECT_TRUE(eventually([] { return get("SERVICE.MBL.Error") == 1; }));
    kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(10000), 0);
}

testnode::RunResult mbpoll(int port, std::vector<std::string> args)
{
    std::vector<std::string> argv{"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testnode::run_program(argv);
}

std::string ask(int port, const std::string &pdu)
{
    auto r = testnode::run_program({"/usr/bin/python3", MODBUS_PEER, "ask", std::to_string(port), "255", pdu});
    return r.out.empty() ? r.err : r.out.substr(0, r.out.size() - 1);
}

// A node serving its map: masters at once, all four tables, only the points'
// addresses, every request answered, hostile masters that hold nobody, and
// who may connect.
TEST(MbuslinkService, ServesItsPointsToOutsideMastersEachOnItsOwn)
{
    int port = test_port();
    std::string address = "127.0.0.1:" + std::to_string(port);
    testnode::write_node_config(R"([[modbus]]
name = "guarded"
address = "127.0.0.1"
port = )" + std::to_string(port + 1) + R"(
allow = ["10.9.9.0/24"]

[[modbus]]
name = "single"
address = "127.0.0.1"
port = )" + std::to_string(port + 2) + R"(
max_connections = 1

[[service]]
name = "MBS"
settings = { Mode = 1, Cycle = 20, IsMaster = 0 }
properties = { NodeName = { address = ")" + address + R"(" } }

[[service.input]]
tag = "Remote.A"
address = 400001
access = "value"
type = "u16"

[[service.input]]
tag = "Remote.B"
address = 400002
access = "value"
type = "u16"

[[service.output]]
tag = "Local.Out"
address = 400011
access = "value"
type = "u16"

[[service.output]]
tag = "Local.Input"
address = 300001
access = "value"
type = "u16"

[[service.output]]
tag = "Local.Bits"
address = 100001
access = "value"
type = "u8"

[[service]]
name = "MBA"
settings = { Mode = 1, Cycle = 20, IsMaster = 0 }
properties = { NodeName = { address = "guarded" } }

[[service]]
name = "MBM"
settings = { Mode = 1, Cycle = 20, IsMaster = 0 }
properties = { NodeName = { address = "single" } }
)");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child service = start_service("MBS");
    testnode::Child guarded = start_service("MBA");
    testnode::Child single = start_service("MBM");
    Client look(port);
    ASSERT_TRUE(eventually([&] { return look.connect(); })) << "the service listens on " << address;

    // Two outside masters at once, each writing a holding register.
    testnode::Child first = testnode::Child::program(
        {"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-1", "-r", "1", "127.0.0.1", "77"});
    testnode::Child second = testnode::Child::program(
        {"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-1", "-r", "2", "127.0.0.1", "88"});
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
    EXPECT_TRUE(eventually([] { return get("Remote.A") == 77 && get("Remote.B") == 88; }))
        << get("Remote.A") << " " << get("Remote.B");

    // Output points publish into holding registers, input registers and discrete inputs.
    for (const char *set : {"Local.Out=4321", "Local.Input=555", "Local.Bits=5"}) {
        std::string text = set;
        ASSERT_EQ(testnode::run_program({KO_PATH, "set", text.substr(0, text.find('=')), text.substr(text.find('=') + 1)}).code, 0);
    }
    const struct {
        std::vector<std::string> args;
        const char *shows;
    } reads[] = {
        {{"-r", "11"}, "[11]: \t4321"},
        {{"-t", "3", "-r", "1"}, "[1]: \t555"},
        {{"-t", "1", "-r", "1", "-c", "3"}, "[1]: \t1\n[2]: \t0\n[3]: \t1"},
    };
    for (const auto &r : reads) {
        std::vector<std::string> args = r.args;
        args.push_back("127.0.0.1");
        EXPECT_TRUE(eventually([&] { return mbpoll(port, args).out.find(r.shows) != std::string::npos; }))
            << r.shows << ": " << mbpoll(port, args).out;
    }

    // Every request gets its answer at once: data, or the exception that says why.
    const struct {
        const char *what, *request, *reply;
    } answers[] = {
        {"an address no point serves", "0300630001", "8302"},
        {"a write over what the node publishes", "06000a0001", "8602"},
        {"a write where an input point takes it", "0600000009", "0600000009"},
        {"read exception status, unsupported", "07", "8701"},
        {"a count the protocol does not allow", "0300000000", "8303"},
    };
    for (const auto &a : answers)
        EXPECT_EQ(ask(port, a.request), a.reply) << a.what;

    // Hostile masters (never reading, a byte every 0.4 s, half a frame) hold
    // neither a good master nor the service's cycles.
    testnode::Child hostile = testnode::Child::program({"/usr/bin/python3", MODBUS_PEER, "hostile", std::to_string(port), "4"});
    ASSERT_EQ(hostile.read_line(20000), "started");
    int64_t cycles = get("SERVICE.MBS.InThread00_Cnt");
    for (int i = 0; i < 10; ++i)
        EXPECT_NE(mbpoll(port, {"-r", "11", "127.0.0.1"}).out.find("[11]: \t4321"), std::string::npos) << "read " << i;
    EXPECT_TRUE(eventually([] { return testnode::log_count("does not read its replies: disconnected") == 1; }))
        << node_log();
    EXPECT_TRUE(eventually([&] { return get("SERVICE.MBS.InThread00_Cnt") > cycles + 20; })) << "the cycles go on";
    EXPECT_EQ(hostile.wait(20000), 0);

    // Who may connect: refused at once, and said once per address.
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(ask(port + 1, "0300000001"), "closed");
    EXPECT_EQ(testnode::await_log_count("Modbus master 127.0.0.1 refused: not in the server's allow list", 1u), 1u) << node_log();
    Client holder(port + 2);
    ASSERT_TRUE(eventually([&] { return holder.connect(); }));
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(ask(port + 2, "0300000001"), "closed");
    EXPECT_EQ(testnode::await_log_count("refused: the server has its 1 connections (max_connections)", 1u), 1u) << node_log();

    for (testnode::Child *c : {&service, &guarded, &single}) {
        kill(c->pid(), SIGTERM);
        EXPECT_EQ(c->wait(10000), 0);
    }
}

}  // namespace
