// The Modbus library: addresses, byte and bit order and misuse on the local
// device; a Modbus TCP device served by a plain libmodbus server on
// loopback: reads and writes split at the protocol's limits, exceptions,
// a refused connection.
#include "child_process.h"
#include "fault_server.h"
#include "hi_modbus_api.h"
#include "modbus_status.h"
#include "rt.h"

#include <atomic>
#include <chrono>
#include <sys/socket.h>
#include <cstring>
#include <gtest/gtest.h>
#include <modbus.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct Api {
    HiMODBUSInitFn init;
    HiMODBUSOpenFn open;
    HiMODBUSCloseFn close;
    HiMODBUSReadFn read;
    HiMODBUSWriteFn write;
};

Api load()
{
    RTHANDLE module = LoadRtLibrary(MODBUS_API_PATH);
    EXPECT_NE(module, 0);
    auto get = [&](const char *name) { return GetRtProcAddress(module, name); };
    return Api{reinterpret_cast<HiMODBUSInitFn>(get("HiMODBUSInit")),
               reinterpret_cast<HiMODBUSOpenFn>(get("HiMODBUSOpen")),
               reinterpret_cast<HiMODBUSCloseFn>(get("HiMODBUSClose")),
               reinterpret_cast<HiMODBUSReadFn>(get("HiMODBUSRead")),
               reinterpret_cast<HiMODBUSWriteFn>(get("HiMODBUSWrite"))};
}

uint32_t open_device(const Api &api, const char *host, uint8_t is_master, uintptr_t &connection,
                     uint32_t timeout = 1000)
{
    ModbusOptions options{};
    std::strncpy(options.host, host, sizeof options.host - 1);
    options.is_master = is_master;
    options.timeout = timeout;
    EXPECT_EQ(api.init(&options), MB_OK);
    return api.open(0, &connection);
}

TEST(ModbusLocal, AddressesBitsAndRegistersInTheirDocumentedOrder)
{
    Api api = load();
    uintptr_t c = 0;
    ASSERT_EQ(open_device(api, "local", 1, c), MB_OK);

    // Two registers: the first is the low word, each low byte first.
    uint8_t four[4] = {0x44, 0x33, 0x22, 0x11};
    ASSERT_EQ(api.write(c, 400001, 4, four, 0), MB_OK);
    uint16_t reg = 0;
    ASSERT_EQ(api.read(c, 400001, 2, &reg, 8, 0), MB_OK);
    EXPECT_EQ(reg, 0x3344);
    ASSERT_EQ(api.read(c, 400002, 2, &reg, 8, 0), MB_OK);
    EXPECT_EQ(reg, 0x1122);
    uint32_t word = 0;
    ASSERT_EQ(api.read(c, 400001, 4, &word, 8, 0), MB_OK);
    EXPECT_EQ(word, 0x11223344u);
    // An odd length writes the low byte and keeps the high one.
    uint8_t one = 0xAB;
    ASSERT_EQ(api.write(c, 400001, 1, &one, 0), MB_OK);
    ASSERT_EQ(api.read(c, 400001, 2, &reg, 8, 0), MB_OK);
    EXPECT_EQ(reg, 0x33AB);

    // Coils: the first coil in bit 0.
    uint8_t pattern = 0xA5;
    ASSERT_EQ(api.write(c, 1, 1, &pattern, 0), MB_OK);
    uint8_t back = 0;
    ASSERT_EQ(api.read(c, 1, 1, &back, 8, 0), MB_OK);
    EXPECT_EQ(back, 0xA5);
    ASSERT_EQ(api.read(c, 3, 1, &back, 8, 0), MB_OK);
    EXPECT_EQ(back, 0xA5 >> 2) << "coils 3 to 10";
    uint8_t block[300];
    ASSERT_EQ(api.read(c, 465536 - 149, 300, block, 300, 0), MB_OK) << "the last 150 registers";

    struct Row {
        const char *what;
        uint32_t address, length, status;
    } misuse[] = {
        {"address 0", 0, 1, MB_E_ADDRESS},
        {"no 2xxxxx table", 200001, 1, MB_E_ADDRESS},
        {"past the coils", 65536, 1, MB_E_ADDRESS},
        {"past the registers", 465536, 3, MB_E_ADDRESS},
        {"reference 0", 400000, 2, MB_E_ADDRESS},
        {"above 4xxxxx", 500001, 2, MB_E_ADDRESS},
        {"length 0", 400001, 0, MB_E_LENGTH},
    };
    for (const Row &r : misuse) {
        EXPECT_EQ(api.read(c, r.address, r.length, block, 8, 0), r.status) << r.what;
        EXPECT_GE(r.status, 0xFF10u) << r.what;
    }
    EXPECT_EQ(api.read(c, 465536, 2, &reg, 8, 0), MB_OK) << "the last register";
    EXPECT_EQ(api.write(c, 300001, 2, &reg, 0), MB_E_READ_ONLY);
    EXPECT_EQ(api.write(c, 100001, 1, &reg, 0), MB_E_READ_ONLY);
    EXPECT_EQ(api.close(c), MB_OK);
    EXPECT_EQ(api.read(c, 400001, 2, &reg, 8, 0), MB_E_NOT_OPEN);
    EXPECT_EQ(api.close(c), MB_E_NOT_OPEN);
}

TEST(ModbusLocal, OpenRefusesWhatCanNeverWork)
{
    Api api = load();
    uintptr_t c = 0;
    EXPECT_EQ(open_device(api, "local", 2, c), MB_E_IS_MASTER);
    EXPECT_EQ(open_device(api, "", 1, c), MB_E_HOST);
    EXPECT_EQ(open_device(api, "nowhere", 1, c), MB_E_DEVICE);
    EXPECT_EQ(open_device(api, "127.0.0.1:99999", 1, c), MB_E_DEVICE);
    for (uint32_t code : {MB_E_IS_MASTER, MB_E_HOST, MB_E_DEVICE, MB_E_NOT_OPEN, MB_E_READ_ONLY, MB_E_EXCEPTION_BASE | 2})
        EXPECT_GE(code, 0xFF10u) << std::hex << code;
    for (uint32_t code : {MB_E_TIMEOUT, MB_E_RESET, MB_E_REFUSED, MB_E_BROKEN_PIPE, MB_E_CRC, MB_E_EXCEPTION_BUSY_BASE | 6})
        EXPECT_LT(code, 0xFF10u) << std::hex << code;
    EXPECT_EQ((MB_E_EXCEPTION_BASE | 2) & 0xFF, 2u) << "the exception number stays readable";
}

// A plain libmodbus TCP server on loopback: 300 holding registers, 3000
// coils, answering one client until it goes; counts the requests.
class TcpServer {
public:
    explicit TcpServer(int port) : port_(port)
    {
        mapping_ = modbus_mapping_new(3000, 0, 300, 0);
        for (int i = 0; i < 300; ++i)
            mapping_->tab_registers[i] = static_cast<uint16_t>(1000 + i);
        context_ = modbus_new_tcp("127.0.0.1", port);
        listener_ = modbus_tcp_listen(context_, 1);
        thread_ = std::thread([this] {
            int client = modbus_tcp_accept(context_, &listener_);
            if (client < 0)
                return;
            uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
            for (;;) {
                int n = modbus_receive(context_, query);
                if (n <= 0)
                    break;
                ++requests;
                modbus_reply(context_, query, n, mapping_);
            }
        });
    }
    ~TcpServer()
    {
        thread_.join();
        close(listener_);
        modbus_free(context_);
        modbus_mapping_free(mapping_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    modbus_mapping_t *mapping_;
    std::atomic<int> requests{0};

private:
    int port_;
    modbus_t *context_;
    int listener_;
    std::thread thread_;
};

// A test uses up to eight ports from here; tests running at once (nearby
// pids) get blocks of their own.
int test_port()
{
    return 20000 + (getpid() % 1500) * 8;  // below the ephemeral ports (32768 on)
}

TEST(ModbusTcp, ReadsAndWritesSplitAtTheProtocolLimits)
{
    Api api = load();
    uintptr_t c = 0;
    {
        TcpServer server(test_port());
        ASSERT_EQ(open_device(api, server.host().c_str(), 1, c), MB_OK);
        uint16_t registers[200];
        ASSERT_EQ(api.read(c, 400001, sizeof registers, registers, sizeof registers, 0), MB_OK);
        EXPECT_EQ(server.requests.load(), 2) << "200 registers: 125 and 75";
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(registers[i], 1000 + i);

        uint16_t values[130];
        for (int i = 0; i < 130; ++i)
            values[i] = static_cast<uint16_t>(7000 + i);
        ASSERT_EQ(api.write(c, 400011, sizeof values, values, 0), MB_OK);
        EXPECT_EQ(server.requests.load(), 4) << "130 registers written: 123 and 7";
        EXPECT_EQ(server.mapping_->tab_registers[10], 7000);
        EXPECT_EQ(server.mapping_->tab_registers[139], 7129);

        uint8_t coils[300];  // 2400 coils: 2000 and 400 read, 1968 and 432 written
        std::memset(coils, 0x5A, sizeof coils);
        ASSERT_EQ(api.write(c, 1, sizeof coils, coils, 0), MB_OK);
        std::memset(coils, 0, sizeof coils);
        ASSERT_EQ(api.read(c, 1, sizeof coils, coils, sizeof coils, 0), MB_OK);
        EXPECT_EQ(server.requests.load(), 8);
        for (uint8_t b : coils)
            ASSERT_EQ(b, 0x5A);
        EXPECT_EQ(server.mapping_->tab_bits[1], 1) << "coil 2 is bit 1 of 0x5A";

        uint16_t past;
        EXPECT_EQ(api.read(c, 400301, 2, &past, 8, 0), MB_E_EXCEPTION_BASE | MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS)
            << "the device's own exception, kept in the low byte";
        EXPECT_EQ(api.close(c), MB_OK);
    }
    // Nobody listens any more: a transient failure, which reconnection retries.
    uint32_t status = open_device(api, ("127.0.0.1:" + std::to_string(test_port())).c_str(), 1, c);
    EXPECT_EQ(status, MB_E_REFUSED);
    EXPECT_LT(status, 0xFF10u);
}

// Each way a device can fail gives its documented code, transient or
// misuse, and no failed read is reported as good.
TEST(ModbusTcp, DeviceFailuresGiveTheirCodes)
{
    Api api = load();
    fault::Server server(test_port() + 1);
    uintptr_t c = 0;
    ASSERT_EQ(open_device(api, server.host().c_str(), 1, c, fault::kClientTimeoutMs), MB_OK);
    uint16_t value = 0;
    ASSERT_EQ(api.read(c, 400001 + 5, 2, &value, 8, 0), MB_OK);
    EXPECT_EQ(value, 505);

    struct Row {
        const char *what;
        int address;
        uint32_t status;
    } rows[] = {
        {"busy", fault::kBusyAddress, MB_E_EXCEPTION_BUSY_BASE | MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY},
        {"illegal data address", fault::kIllegalAddress, MB_E_EXCEPTION_BASE | MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {"stall past the timeout", fault::kStallAddress, MB_E_TIMEOUT},
    };
    // A fresh connection for each read, as the container's reconnection
    // gives after a transient failure: a stalled answer that comes late
    // stays behind on the old one.
    auto fresh = [&] {
        api.close(c);
        ASSERT_EQ(open_device(api, server.host().c_str(), 1, c, fault::kClientTimeoutMs), MB_OK);
    };
    for (const Row &r : rows) {
        fresh();
        value = 0xBEEF;
        EXPECT_EQ(api.read(c, 400001 + static_cast<uint32_t>(r.address), 2, &value, 8, 0), r.status) << r.what;
        // A block whose first request is good and whose second fails is no good read.
        fresh();
        uint16_t block[130];
        EXPECT_EQ(api.read(c, 400001 + static_cast<uint32_t>(r.address) - 125, sizeof block, block, sizeof block, 0),
                  r.status)
            << r.what << " in the second request of a block";
    }
    fresh();
    EXPECT_LT(MB_E_EXCEPTION_BUSY_BASE | 6, 0xFF10u) << "busy is retried";
    EXPECT_GE(MB_E_EXCEPTION_BASE | 2, 0xFF10u) << "an illegal address is misuse";

    uint32_t cut = api.read(c, 400001 + fault::kCutAddress, 2, &value, 8, 0);
    EXPECT_TRUE(cut == MB_E_RESET || cut == MB_E_TRANSPORT || cut == MB_E_TIMEOUT) << std::hex << cut;
    EXPECT_LT(cut, 0xFF10u) << "a cut connection is recovered by reconnecting";
    EXPECT_EQ(api.close(c), MB_OK);
    ASSERT_EQ(open_device(api, server.host().c_str(), 1, c, fault::kClientTimeoutMs), MB_OK) << "reconnected";
    ASSERT_EQ(api.read(c, 400001 + 7, 2, &value, 8, 0), MB_OK);
    EXPECT_EQ(value, 507);
    EXPECT_EQ(api.close(c), MB_OK);
}

// Replies that do not answer their request, from a raw-socket device: each
// is refused with the transient MB_E_REPLY and nothing of it reaches the
// buffer; a device that never answers ends the request within its timeout.
TEST(ModbusTcp, RepliesThatDoNotAnswerTheRequestAreRefusedAndNeverTakenForData)
{
    Api api = load();
    const struct {
        const char *mode;
        uint32_t status;
    } rows[] = {{"good", MB_OK},          {"unit", MB_E_REPLY},  {"tid", MB_E_REPLY},
                {"function", MB_E_REPLY}, {"count", MB_E_REPLY}, {"silent", MB_E_TIMEOUT}};
    int port = test_port() + 2;
    for (const auto &r : rows) {
        testnode::Child device = testnode::Child::program({"/usr/bin/python3", MODBUS_PEER, "device", std::to_string(port), r.mode});
        ASSERT_EQ(device.read_line(20000), "ready") << r.mode;
        uintptr_t c = 0;
        ASSERT_EQ(open_device(api, ("127.0.0.1:" + std::to_string(port)).c_str(), 1, c, 300), MB_OK) << r.mode;
        uint16_t value = 0xEEEE;
        EXPECT_EQ(api.read(c, 400001, 2, &value, 8, 0), r.status) << r.mode;
        EXPECT_EQ(value, r.status == MB_OK ? 0x1234 : 0xEEEE) << r.mode;
        EXPECT_LT(r.status, 0xFF10u) << r.mode << " is transient: reconnection retries it";
        EXPECT_EQ(api.close(c), MB_OK);
        ++port;
    }
}

}  // namespace
