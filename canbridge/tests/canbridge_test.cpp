// The CAN driver over stand-in lower libraries: the test plays the EtherCAT
// master (gateways, images, one cycle at a time) and the terminal side of
// the handshake, and an application through canport. Binding, forwarding,
// configuration, discovery, every rule of the exchange pass, and the ways
// the CAN_COMM thread ends. Each test runs in a process of its own.
#include "can_frame.h"
#include "canport.h"
#include "driver_api.h"
#include "fake_lower.h"
#include "kohgapi.h"
#include "loaded_driver.h"
#include "rt.h"
#include "test_node.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using testnode::eventually;
using testnode::node_log;
using testnode::log_count;
using testnode::await_log_count;
int64_t (&tag)(const std::string &) = testnode::tag_value;

void set_tag(const std::string &name, uint32_t value, uint32_t width)
{
    ASSERT_EQ(KoTagWrite(name.c_str(), &value, width), KO_OK) << name;
}

uint32_t entry_of(const std::string &name)
{
    uint32_t entry = 0;
    KoTagGetProperty(name.c_str(), "Entry", &entry, 4);
    return entry;
}

// The service is ECAT, as the CAN application library expects. Messages
// its mailbox received: the driver announces each
// device-state segment with code 117.
std::atomic<int> announcements{0};
uint32_t handler(uint32_t, uint32_t code, uint32_t)
{
    if (code == 117)
        ++announcements;
    return 0;
}

constexpr FakeGateway kExtended{0, 153, 0, 146, 4};
constexpr FakeGateway kStandard{256, 113, 256, 106, 7};

struct Bridge : testnode::LoadedDriver {
    FakeEhapi *master = nullptr;
    FakeEcatlink *driver = nullptr;
    CanPortApi can{};

    // Loads the driver with the stand-ins of one variant folder.
    explicit Bridge(const std::string &variant = "full")
    {
        // The real libraries' folder comes after the stand-ins (for canport), but
        // not when the master library is meant to be missing.
        std::string path = std::string(FAKE_DIR) + "/" + variant;
        setenv("RT_LIBRARY_PATH", (variant == "no_ehapi" ? path : path + ":" + RSL_DIR).c_str(), 1);
        KoServiceBindNames("ECAT");
        KoServiceRegistration registration{KO_REGISTRATION_SIGNATURE, handler, {}};
        EXPECT_EQ(KoServiceRegister(&registration), KO_OK) << KoServiceError();
        static_cast<testnode::LoadedDriver &>(*this) = testnode::load_driver(CANBRIDGE_PATH);
        if (module == 0)
            return;
        if (RTHANDLE m = LoadRtLibrary("ehapi.rsl"); m != 0)
            master = testnode::rsl_entry<FakeEhapiStateFn>(m, "FakeEhapiState")();
        if (RTHANDLE d = LoadRtLibrary("ecatlink.rsl"); d != 0)
            driver = testnode::rsl_entry<FakeEcatlinkStateFn>(d, "FakeEcatlinkState")();
        EXPECT_EQ(CanPortBind(&can), 0);
    }

    // HiInit with these gateways on an operational bus, the container's
    // Connected flag up; returns once the thread waits for its first cycle.
    void start(std::vector<FakeGateway> gateways, bool connected = true)
    {
        master->gateway_count = static_cast<uint32_t>(gateways.size());
        for (size_t i = 0; i < gateways.size(); ++i)
            master->gateways[i] = gateways[i];
        master->state = 8;
        uintptr_t context = 0;
        uint32_t api_status = 0;
        ASSERT_EQ(init("canbridge", &context, 0, &api_status), 0u);
        if (!connected)
            return;
        set_tag("SERVICE.ECAT.Connected", 1, 1);
        ASSERT_TRUE(eventually([&] { return master->waits.load() >= 1; })) << node_log();
    }

    // One EtherCAT cycle: returns once the pass after it is done.
    void step()
    {
        uint32_t released = master->released.load() + 1;
        master->released = released;
        ASSERT_TRUE(eventually([&] { return master->waits.load() >= released + 1 || finished(); })) << "one pass";
    }

    bool finished() { return tag("SERVICE.ECAT.CAN.Status") == 0; }

    uint32_t close_driver()
    {
        uint32_t api_status = 0;
        return close(0, &api_status);
    }

    // The images of a gateway, as the terminal sees them.
    uint16_t in_word(const FakeGateway &g, size_t at) { return word(master->in + g.in_offset + at); }
    uint16_t out_word(const FakeGateway &g, size_t at) { return word(master->out + g.out_offset + at); }
    void set_in_word(const FakeGateway &g, size_t at, uint16_t v)
    {
        __atomic_store_n(reinterpret_cast<uint16_t *>(master->in + g.in_offset + at), v, __ATOMIC_RELEASE);
    }
    static uint16_t word(const uint8_t *at) { return __atomic_load_n(reinterpret_cast<const uint16_t *>(at), __ATOMIC_ACQUIRE); }

    // The terminal presents a batch of received records.
    void present(const FakeGateway &g, const std::vector<CAN_COMM_DATA_EL6751_EXT> &frames, uint16_t count)
    {
        for (size_t m = 0; m < frames.size(); ++m)
            CanImageRecordPut(master->in + g.in_offset + 6, g.out_size == 106, static_cast<unsigned>(m), &frames[m]);
        std::memcpy(master->in + g.in_offset + 4, &count, 2);
        set_in_word(g, 2, static_cast<uint16_t>(in_word(g, 2) + 1));
    }
    // The terminal takes the batch on offer: its records, and the echo.
    std::vector<CAN_COMM_DATA_EL6751_EXT> take(const FakeGateway &g)
    {
        std::vector<CAN_COMM_DATA_EL6751_EXT> frames;
        for (uint16_t m = 0; m < out_word(g, 4); ++m) {
            CAN_COMM_DATA_EL6751_EXT f{};
            CanImageRecordGet(master->out + g.out_offset + 6, g.out_size == 106, m, &f);
            frames.push_back(f);
        }
        set_in_word(g, 0, out_word(g, 0));
        return frames;
    }

    int32_t write(int32_t channel, uint32_t id, uint8_t extended = 0)
    {
        uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        return can.write(channel, id, extended, 0, 8, data);
    }
};

CAN_COMM_DATA_EL6751_EXT frame(uint32_t id, uint16_t length = 2)
{
    CAN_COMM_DATA_EL6751_EXT f{};
    f.id = id;
    f.length = length;
    f.data[0] = 0xAB;
    f.data[1] = 0xCD;
    return f;
}

TEST(Canbridge, BindsBothLowerLibrariesAndForwardsEveryCall)
{
    Bridge b;
    ASSERT_NE(b.master, nullptr);
    ASSERT_NE(b.driver, nullptr);
    EXPECT_EQ(b.console, "");
    b.driver->answer = 0x101;
    uint8_t buffer[8];
    uint32_t api_status = 9;
    EXPECT_EQ(b.read(1, 0, 0, 1, buffer, 8, 0, &api_status), 0x101u) << "passed on unchanged";
    EXPECT_EQ(b.driver->calls[3].load(), 1u);
    EXPECT_EQ(b.close_driver(), 0x101u) << "no thread started: returns at once";
    EXPECT_EQ(b.master->cancels.load(), 0u);
}

TEST(Canbridge, AConnectionCheckMissingBelowAnswersNotConnected)
{
    Bridge b("no_HiConnectChk");
    EXPECT_EQ(b.console, "E$CANBRIDGE[00945] GetRtProcAddress( HiConnectChk ) failed. Status[80070006h]\n");
    uint32_t code = 0;
    EXPECT_EQ(b.connect_chk(nullptr, 0, &code) & 0xFF, 0u);
    EXPECT_EQ(code, 0xFFFFFFFFu);
}

TEST(Canbridge, WithoutTheMasterLibraryTheLoadFails)
{
    Bridge b("no_ehapi");
    EXPECT_EQ(b.init, nullptr) << "the library did not load";
    EXPECT_EQ(b.console, "Load Lower Wrapper RSL Failed(ehapi.rsl\n");
}

TEST(Canbridge, ConfigurationOutOfRangeIsReplacedByItsDefaultAndWrittenBack)
{
    Bridge b;
    set_tag("SERVICE.ECAT.CAN.Mode", 2, 1);
    set_tag("SERVICE.ECAT.CAN.Priority", 255, 1);
    set_tag("SERVICE.ECAT.CAN.OverrunCtrl", 2, 1);
    b.start({}, false);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Mode"), 1);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Priority"), 150);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.OverrunCtrl"), 1);
    EXPECT_EQ(await_log_count("ECAT DBG SERVICE.ECAT.CAN.Priority [150],canbridge,", 1u), 1u) << node_log();
    EXPECT_EQ(await_log_count("ECAT DBG SERVICE.ECAT.CAN.OverrunCtrl [1],canbridge,", 1u), 1u);
    for (const char *name : {"TxCount", "RxCount", "Status", "Error", "Run", "Live"})
        EXPECT_GE(tag(std::string("SERVICE.ECAT.CAN.") + name), 0) << name << " exists";
    EXPECT_EQ(b.driver->calls[0].load(), 1u) << "HiInit forwarded";
}

TEST(Canbridge, CloseWhileWaitingForTheConnectionEndsWithoutTouchingTheMaster)
{
    Bridge b;
    b.start({kExtended}, false);
    ASSERT_TRUE(eventually([] { return tag("SERVICE.ECAT.CAN.Status") == 1; }));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(b.close_driver(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << "about 200 ms";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Status"), 0);
    EXPECT_EQ(b.master->open_calls, 0u);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.SlaveCount"), -1);
    EXPECT_EQ(await_log_count("CAN: Finish\\n,canbridge,00705", 1u), 1u);
    EXPECT_EQ(b.driver->calls[2].load(), 1u) << "then forwarded";
}

TEST(Canbridge, NoGatewayGivesOneWarningAndSlaveCountZero)
{
    Bridge b;
    b.start({});
    EXPECT_EQ(await_log_count("ECAT WRN CAN: Can't find EL6751\\n,canbridge,00311", 1u), 1u) << node_log();
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.SlaveCount"), 0);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.00.TxFrameFIFO"), -1) << "no channel tag";
    b.step();
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Live"), 1) << "the exchange runs with nothing to move";
    int32_t channels = -5;
    uint8_t run = 0;
    EXPECT_EQ(b.can.get_driver_state(&run, nullptr, &channels), 0);
    EXPECT_EQ(channels, 0);
    EXPECT_EQ(run, 1);
    EXPECT_EQ(b.write(0, 1), -2) << "ready, with no channel";
    EXPECT_EQ(b.can.get_driver_state(nullptr, nullptr, &channels), 0) << "later calls too";
}

TEST(Canbridge, DiscoveryPublishesEachChannelAndClassifiesItsImages)
{
    Bridge b;
    FakeGateway odd{600, 120, 600, 113, 9};
    b.start({kExtended, kStandard, odd});
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.SlaveCount"), 3);
    EXPECT_TRUE(eventually([] { return announcements.load() == 3; })) << "one announcement per channel";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.00.SlaveType"), 2);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.01.SlaveType"), 1);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.02.SlaveType"), 0);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.01.SlaveIndex"), 7);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.01.VIOS_IN.Offset"), 256);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.01.VIOS_OUT.Size"), 106);
    char source[32] = {};
    ASSERT_EQ(KoTagGetProperty("SERVICE.ECAT.CAN.01.DeviceStateImage", "Source", source, sizeof source), KO_OK);
    EXPECT_STREQ(source, "ECAT/362") << "256 + 113 - 7";
    EXPECT_EQ(await_log_count("CAN: Unsupport VIOS size: [2, in= 120(rq: 120), out = 113(rq: 106 or 146)]\\n,canbridge,00389", 1u),
              1u)
        << node_log();
    EXPECT_EQ(await_log_count("CAN: sizeof(struct CAN_COMM_DATA_EL6751_STD) = 10, [10] = 100, ofs = 0, 2\\n,canbridge,00390", 1u), 1u);
    EXPECT_EQ(await_log_count("CAN: sizeof(struct CAN_COMM_DATA_EL6751_EXT) = 14, [10] = 140, ofs = 0, 2, 6\\n,canbridge,00391", 1u),
              1u);
    EXPECT_EQ(await_log_count("CAN: EL6751[1] format type = [01h]\\n,canbridge,00394", 1u), 1u);
    EXPECT_STREQ(b.master->node_name, RtNodeName()) << "no NodeName address: the node's name";

    // The gateway of another size keeps its tags; its images are never touched.
    ASSERT_EQ(b.write(2, 0x10), 1);
    b.step();
    b.step();
    EXPECT_EQ(b.out_word(odd, 0), 0);
    EXPECT_EQ(b.out_word(odd, 4), 0);
}

TEST(Canbridge, SendsTwentyFiveFramesAsTenTenAndFiveOverThreeHandshakes)
{
    Bridge b;
    b.start({kExtended});
    for (uint32_t id = 0; id < 25; ++id)
        ASSERT_EQ(b.write(0, 0x100 + id), static_cast<int32_t>(id + 1));
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 4), 10);
    EXPECT_EQ(b.out_word(kExtended, 0), 1) << "tx_counter = tx_ack + 1";
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 0), 1) << "not taken yet: nothing new";
    auto first = b.take(kExtended);
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(uint32_t{first[0].id}, 0x100u);
    EXPECT_EQ(uint32_t{first[9].id}, 0x109u);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 4), 10);
    EXPECT_EQ(b.out_word(kExtended, 0), 2);
    b.take(kExtended);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 4), 5);
    auto last = b.take(kExtended);
    ASSERT_EQ(last.size(), 5u);
    EXPECT_EQ(uint32_t{last[4].id}, 0x118u);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.TxCount"), 25);

    for (uint32_t id = 0; id < 3; ++id)
        b.write(0, 0x200 + id);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 4), 3) << "three frames fill three slots";
}

TEST(Canbridge, ReceivesBatchesAndAcknowledgesThem)
{
    Bridge b;
    b.start({kExtended});
    b.present(kExtended, {}, 0);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 2), 1) << "an empty batch is acknowledged";
    uint32_t id = 0;
    EXPECT_EQ(b.can.read(0, &id, nullptr, nullptr, nullptr, nullptr), 0) << "and nothing is put";

    CAN_COMM_DATA_EL6751_EXT odd_length = frame(0x12345678 | CAN_ID_EXTENDED, 12);
    b.present(kExtended, {frame(0x7), odd_length}, 2);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 2), 2);
    uint8_t extended = 9, rtr = 9, data[8] = {};
    uint32_t length = 0;
    EXPECT_EQ(b.can.read(0, &id, &extended, &rtr, &length, data), 2);
    EXPECT_EQ(id, 0x7u);
    EXPECT_EQ(extended, 0);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(data[1], 0xCD);
    EXPECT_EQ(b.can.read(0, &id, &extended, &rtr, &length, data), 1);
    EXPECT_EQ(id, 0x12345678u);
    EXPECT_EQ(extended, 1);
    EXPECT_EQ(length, 12u) << "an extended gateway's record passes unchanged";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.RxCount"), 2);

    // A batch that claims more than the image holds is served 10 records.
    std::vector<CAN_COMM_DATA_EL6751_EXT> ten(10, frame(0x55));
    b.present(kExtended, ten, 12);
    b.step();
    EXPECT_EQ(b.can.read(0, nullptr, nullptr, nullptr, nullptr, nullptr), 10);
}

TEST(Canbridge, StandardGatewaysCarryElevenBitIdentifiersBothWays)
{
    Bridge b;
    b.start({kStandard});
    EXPECT_EQ(b.write(0, 0x12345678, 1), -8) << "an application is told, not sent under another identifier";
    EXPECT_EQ(b.write(0, 0x800), -8) << "nor does a standard frame lose identifier bits";
    // A record that reaches the FIFO by other means keeps the low 11 bits.
    CAN_COMM_DATA_EL6751_EXT extended = frame(0x12345678 | CAN_ID_EXTENDED);
    ASSERT_EQ(KoTagPutFIFO(entry_of("SERVICE.ECAT.CAN.00.TxFrameFIFO"), &extended, 14, nullptr), KO_OK);
    ASSERT_EQ(b.write(0, 0x7FF), 2);
    b.step();
    auto sent = b.take(kStandard);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(uint32_t{sent[0].id}, 0x678u) << "the low 11 bits, as a standard frame";
    EXPECT_EQ(uint32_t{sent[1].id}, 0x7FFu);

    b.present(kStandard, {frame(0x123 | CAN_ID_RTR, 0)}, 1);
    b.step();
    CAN_COMM_DATA_EL6751_EXT record;
    ASSERT_EQ(KoTagReadByEntry(entry_of("SERVICE.ECAT.CAN.00.RxFrameFIFO"), &record, 14), KO_OK);
    EXPECT_EQ(uint32_t{record.id}, 0x123u | CAN_ID_RTR) << "bits 29 and 31 clear";
}

TEST(Canbridge, AnRxFloodRaisesTheOverrunFlagOnceUntilDrained)
{
    Bridge b;
    b.start({kExtended});
    uint32_t rx = entry_of("SERVICE.ECAT.CAN.00.RxFrameFIFO");
    CAN_COMM_DATA_EL6751_EXT f = frame(0x1);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(KoTagPutFIFO(rx, &f, 14, nullptr), KO_OK);
    b.present(kExtended, {frame(0x2), frame(0x3)}, 2);
    b.step();
    EXPECT_EQ(await_log_count("ECAT WRN CAN: Rx FIFO is full! slave=0, remain=1024\\n,canbridge,00565", 1u), 1u) << node_log();
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.RxCount"), 2) << "taken from the gateway";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.00.RxLost"), 2) << "and lost to the full FIFO";
    uint8_t tx_flag = 9, rx_flag = 0;
    EXPECT_EQ(b.can.get_overrun_state(0, &tx_flag, &rx_flag), 0);
    EXPECT_EQ(rx_flag, 1);
    EXPECT_EQ(tx_flag, 0);
    b.present(kExtended, {frame(0x4)}, 1);
    b.step();
    EXPECT_EQ(await_log_count("Rx FIFO is full!", 1u), 1u) << "silent until drained";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.00.RxLost"), 3) << "but every loss counts";
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Error"), 0) << "OverrunCtrl 1 goes on";
    while (b.can.read(0, nullptr, nullptr, nullptr, nullptr, nullptr) > 0)
        KoTagGetFIFO(rx, nullptr, 0, nullptr);
    b.step();
    EXPECT_EQ(b.can.get_overrun_state(0, nullptr, &rx_flag), 0);
    EXPECT_EQ(rx_flag, 0) << "cleared once a pass found the FIFO empty";
}

TEST(Canbridge, WithOverrunCtrlZeroAFloodStopsTheExchangeUntilClose)
{
    Bridge b;
    set_tag("SERVICE.ECAT.CAN.OverrunCtrl", 0, 1);
    b.start({kExtended});
    uint32_t rx = entry_of("SERVICE.ECAT.CAN.00.RxFrameFIFO");
    CAN_COMM_DATA_EL6751_EXT f = frame(0x1);
    for (int i = 0; i < 1024; ++i)
        KoTagPutFIFO(rx, &f, 14, nullptr);
    b.present(kExtended, {frame(0x2)}, 1);
    b.step();
    EXPECT_EQ(await_log_count("ECAT ERR CAN: Rx FIFO is full! slave=0, remain=1024\\n,canbridge,00565", 1u), 1u) << node_log();
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Error"), 1);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Run"), 0);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Status"), 1);
    uint32_t live = static_cast<uint32_t>(tag("SERVICE.ECAT.CAN.Live"));
    b.step();
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Live"), live) << "idle on the cycle";
    EXPECT_EQ(b.close_driver(), 0u);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Status"), 0);
    EXPECT_EQ(await_log_count("CAN: Cancel[0005h]\\n,canbridge,00694", 1u), 1u) << node_log();
    EXPECT_EQ(await_log_count("CAN: Finish\\n,canbridge,00705", 1u), 1u);
}

TEST(Canbridge, ALostConnectionIsReportedOnceAndClearedWhenItIsBack)
{
    Bridge b;
    b.start({kExtended});
    uint32_t code = 0;
    for (int loss = 1; loss <= 2; ++loss) {
        b.driver->connect_result = 0;
        EXPECT_EQ(b.connect_chk(nullptr, 0, &code), 0u);
        b.write(0, 0x42);
        b.step();
        b.step();
        EXPECT_EQ(await_log_count("ECAT ERR CAN: Disconnected.\\n,canbridge,00527", static_cast<size_t>(loss)), static_cast<size_t>(loss)) << node_log();
        EXPECT_EQ(tag("SERVICE.ECAT.CAN.Error"), 1);
        EXPECT_EQ(tag("SERVICE.ECAT.CAN.Disconnects"), loss);
        EXPECT_EQ(b.out_word(kExtended, 4), 1) << "frames still move with OverrunCtrl 1";
        b.take(kExtended);

        b.driver->connect_result = 1;
        EXPECT_EQ(b.connect_chk(nullptr, 0, &code), 1u);
        b.step();
        b.step();
        EXPECT_EQ(tag("SERVICE.ECAT.CAN.Error"), 0) << "the link is back";
        EXPECT_EQ(await_log_count("ECAT OPE CAN: Connected again.\\n,canbridge,00530", static_cast<size_t>(loss)), static_cast<size_t>(loss));
    }
}

TEST(Canbridge, MasterStatusesCountInTheirLowSixteenBits)
{
    Bridge b;
    b.master->high_bits = 0xABCD0000u;
    b.start({kExtended});
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.SlaveCount"), 1) << b.console;
    ASSERT_EQ(b.write(0, 0x42), 1);
    b.step();
    EXPECT_EQ(b.out_word(kExtended, 4), 1) << "the exchange runs";
    EXPECT_EQ(b.close_driver(), 0u);
    EXPECT_EQ(await_log_count("CAN: Cancel[0005h]\\n,canbridge,00520", 1u), 1u) << node_log();
}

TEST(Canbridge, CloseDuringTheExchangeEndsWithTheCancelAndFinishLines)
{
    Bridge b;
    b.start({kExtended});
    b.step();
    EXPECT_EQ(b.close_driver(), 0u);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Status"), 0);
    EXPECT_EQ(tag("SERVICE.ECAT.CAN.Run"), 0);
    EXPECT_EQ(await_log_count("CAN: Finish\\n,canbridge,00705", 1u), 1u) << "the thread's lines reach the log";
    std::string log = node_log();
    size_t cancel = log.find("CAN: Cancel[0005h]\\n,canbridge,00520"), finish = log.find("CAN: Finish\\n,canbridge,00705");
    ASSERT_NE(cancel, std::string::npos) << log;
    ASSERT_NE(finish, std::string::npos);
    EXPECT_LT(cancel, finish);
    EXPECT_GE(b.master->cancels.load(), 1u);
    EXPECT_EQ(b.master->cancelled_thread.load(), LookupRtHandle(0, "CAN_COMM", 0)) << "the cataloged thread";
}

}  // namespace
