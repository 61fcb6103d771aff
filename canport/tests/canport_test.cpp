// The CAN application calls against channel tags the test publishes the
// way the gateway driver does: the one-time lookup, every result of the
// calls, and the run request. Each test runs in a process of its own.
#include "can_frame.h"
#include "canport.h"
#include "kohgapi.h"

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string channel_tag(int n, const char *suffix)
{
    char name[64];
    std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02d.%s", n, suffix);
    return name;
}

// The tags of count channels of one format (2 extended, 1 standard), then
// SlaveCount, as the driver publishes them.
void publish(uint32_t count, uint32_t format = 2)
{
    KoTagCreateEx("SERVICE.ECAT.CAN.Run", 1, "", "");
    KoTagCreateEx("SERVICE.ECAT.CAN.Error", 1, "", "");
    char work[49];
    for (uint32_t n = 0; n < count; ++n) {
        int c = static_cast<int>(n);
        ASSERT_EQ(KoTagCreateFIFO(channel_tag(c, "TxFrameFIFO").c_str(), 14, 1024, nullptr, "", work, 49, nullptr), KO_OK);
        ASSERT_EQ(KoTagCreateFIFO(channel_tag(c, "RxFrameFIFO").c_str(), 14, 1024, nullptr, "", work, 49, nullptr), KO_OK);
        KoTagCreateEx(channel_tag(c, "TxFrameFIFO.Overrun").c_str(), 1, "", "");
        KoTagCreateEx(channel_tag(c, "RxFrameFIFO.Overrun").c_str(), 1, "", "");
        ASSERT_EQ(KoTagCreateSegment(channel_tag(c, "DeviceStateImage").c_str(), 13, 7, "ECAT/0", "", work, 49, nullptr),
                  KO_OK);
        ASSERT_EQ(KoTagWrite(channel_tag(c, "SlaveType").c_str(), &format, 4), KO_OK);
        KoTagCreateEx(channel_tag(c, "TxLost").c_str(), 7, "", "");
    }
    KoTagCreateEx("SERVICE.ECAT.CAN.SlaveCount", 7, "", "");
    ASSERT_EQ(KoTagWrite("SERVICE.ECAT.CAN.SlaveCount", &count, 4), KO_OK);
}

uint32_t entry(const std::string &name)
{
    uint32_t e = 0;
    KoTagGetProperty(name.c_str(), "Entry", &e, 4);
    return e;
}

struct CanPort {
    CanPort() { EXPECT_EQ(CanPortBind(&api), 0); }
    CanPortApi api{};
};

const uint8_t kData[8] = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(Canport, EveryCallAnswersMinusOneUntilTheChannelsArePublished)
{
    CanPort c;
    uint8_t byte = 0;
    int32_t count = 0;
    EXPECT_EQ(c.api.read(0, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(c.api.write(0, 1, 0, 0, 1, kData), -1);
    EXPECT_EQ(c.api.get_device_state(0, &byte), -1);
    EXPECT_EQ(c.api.get_overrun_state(0, &byte, &byte), -1);
    EXPECT_EQ(c.api.get_driver_state(&byte, &byte, &count), -1);
    publish(2);
    EXPECT_EQ(c.api.write(1, 0x123, 0, 0, 2, kData), 1) << "the first call after succeeds";
    EXPECT_EQ(c.api.get_driver_state(nullptr, nullptr, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(c.api.write(-1, 1, 0, 0, 0, kData), -2);
    EXPECT_EQ(c.api.write(2, 1, 0, 0, 0, kData), -2) << "a channel equal to the count";
    EXPECT_EQ(c.api.read(2, nullptr, nullptr, nullptr, nullptr, nullptr), -2);
}

TEST(Canport, WritesCheckTheirFrameAndBuildTheRecord)
{
    publish(1);
    CanPort c;
    EXPECT_EQ(c.api.write(0, 1, 0, 0, 9, kData), -4);
    EXPECT_EQ(c.api.write(0, 1, 0, 0, -1, kData), -4);
    EXPECT_EQ(c.api.write(0, 1, 0, 1, 1, kData), -5) << "a remote frame carries no data";
    EXPECT_EQ(c.api.write(0, 0x7FF, 0, 1, 0, kData), 1);
    EXPECT_EQ(c.api.write(0, 0xFFFFFFFF, 1, 0, 8, kData), 2);
    uint32_t tx = entry(channel_tag(0, "TxFrameFIFO"));
    CAN_COMM_DATA_EL6751_EXT record;
    ASSERT_EQ(KoTagGetFIFO(tx, &record, 14, nullptr), KO_OK);
    EXPECT_EQ(uint32_t{record.id}, 0x7FFu | CAN_ID_RTR);
    EXPECT_EQ(uint16_t{record.length}, 0);
    EXPECT_EQ(record.data[7], 8) << "all 8 bytes are carried whatever the length";
    ASSERT_EQ(KoTagGetFIFO(tx, &record, 14, nullptr), KO_OK);
    EXPECT_EQ(uint32_t{record.id}, 0x1FFFFFFFu | CAN_ID_EXTENDED) << "the low 29 bits, bit 29 clear";
    for (int i = 0; i < 1023; ++i)
        c.api.write(0, 1, 0, 0, 0, kData);
    EXPECT_EQ(c.api.write(0, 2, 0, 0, 0, kData), 1024) << "the write that takes the last slot is queued";
    EXPECT_EQ(c.api.write(0, 3, 0, 0, 0, kData), -7) << "a full queue: not queued";
    EXPECT_EQ(c.api.write(0, 3, 0, 0, 0, kData), -7);
    uint32_t lost = 0;
    EXPECT_EQ(KoTagRead(channel_tag(0, "TxLost").c_str(), &lost, 4), KO_OK);
    EXPECT_EQ(lost, 2u);
}

TEST(Canport, WritesWithoutDataAndFramesAStandardChannelCannotCarry)
{
    publish(1, 1);
    CanPort c;
    EXPECT_EQ(c.api.write(0, 0x10, 0, 1, 0, nullptr), 1) << "a remote frame needs no data";
    EXPECT_EQ(c.api.write(0, 0x11, 0, 0, 0, nullptr), 2) << "nor does an empty data frame";
    EXPECT_EQ(c.api.write(0, 0x12, 0, 0, 1, nullptr), -6);
    CAN_COMM_DATA_EL6751_EXT record;
    uint32_t tx = entry(channel_tag(0, "TxFrameFIFO"));
    ASSERT_EQ(KoTagGetFIFO(tx, &record, 14, nullptr), KO_OK);
    EXPECT_EQ(record.data[7], 0) << "no data: zero bytes";
    EXPECT_EQ(c.api.write(0, 0x123, 1, 0, 1, kData), -8) << "extended on a standard channel";
    EXPECT_EQ(c.api.write(0, 0x800, 0, 0, 1, kData), -8) << "an identifier of more than 11 bits";
    EXPECT_EQ(c.api.write(0, 0x7FF, 0, 0, 1, kData), 2);
}

TEST(Canport, ReadWaitTakesAFrameAsItArrivesAndOtherwiseTimesOut)
{
    publish(1);
    CanPort c;
    uint32_t id = 0;
    EXPECT_EQ(c.api.read_wait(0, &id, nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(c.api.read_wait(0, &id, nullptr, nullptr, nullptr, nullptr, 20), 0) << "the time ran out";
    EXPECT_EQ(c.api.read_wait(1, &id, nullptr, nullptr, nullptr, nullptr, 0), -2);
    uint32_t rx = entry(channel_tag(0, "RxFrameFIFO"));
    std::thread writer([rx] {
        CAN_COMM_DATA_EL6751_EXT f{1, 0x321, {}};
        KoTagPutFIFO(rx, &f, 14, nullptr);
    });
    EXPECT_EQ(c.api.read_wait(0, &id, nullptr, nullptr, nullptr, nullptr, 10000), 1);
    EXPECT_EQ(id, 0x321u);
    writer.join();
}

TEST(Canport, ReadsTakeTheOldestFrameIntoTheArgumentsGiven)
{
    publish(1);
    CanPort c;
    uint32_t id = 0xEEEE, length = 0xEEEE;
    uint8_t extended = 0xEE, rtr = 0xEE, data[8] = {};
    EXPECT_EQ(c.api.read(0, &id, &extended, &rtr, &length, data), 0);
    EXPECT_EQ(id, 0xEEEEu) << "an empty FIFO leaves the arguments as they were";
    uint32_t rx = entry(channel_tag(0, "RxFrameFIFO"));
    CAN_COMM_DATA_EL6751_EXT first{3, 0x1ABCDEF0 | CAN_ID_EXTENDED | CAN_ID_RTR, {9, 8, 7, 6, 5, 4, 3, 2}};
    CAN_COMM_DATA_EL6751_EXT second{1, 0x42, {1}};
    KoTagPutFIFO(rx, &first, 14, nullptr);
    KoTagPutFIFO(rx, &second, 14, nullptr);
    EXPECT_EQ(c.api.read(0, nullptr, nullptr, nullptr, nullptr, nullptr), 2) << "with no argument: a count";
    EXPECT_EQ(c.api.read(0, nullptr, nullptr, nullptr, nullptr, nullptr), 2) << "and nothing removed";
    EXPECT_EQ(c.api.read(0, &id, &extended, &rtr, &length, data), 2);
    EXPECT_EQ(id, 0x1ABCDEF0u);
    EXPECT_EQ(extended, 1);
    EXPECT_EQ(rtr, 1);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(data[7], 2);
    EXPECT_EQ(c.api.read(0, &id, nullptr, nullptr, nullptr, nullptr), 1) << "one argument is enough to take it";
    EXPECT_EQ(id, 0x42u);
    EXPECT_EQ(c.api.read(0, &id, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Canport, StateCallsReadTheFlagsAndTheDeviceBytes)
{
    publish(1);
    CanPort c;
    uint8_t state[7] = {};
    EXPECT_EQ(c.api.get_device_state(0, nullptr), 0) << "nothing to read into";
    const uint8_t bytes[7] = {1, 2, 3, 4, 5, 6, 7};
    KoTagWriteByEntry(entry(channel_tag(0, "DeviceStateImage")), bytes, 7);
    EXPECT_EQ(c.api.get_device_state(0, state), 0);
    EXPECT_EQ(state[6], 7);
    uint8_t one = 1;
    KoTagWrite(channel_tag(0, "RxFrameFIFO.Overrun").c_str(), &one, 1);
    KoTagWrite("SERVICE.ECAT.CAN.Error", &one, 1);
    uint8_t tx = 9, rx = 9, run = 9, error = 9;
    EXPECT_EQ(c.api.get_overrun_state(0, &tx, &rx), 0);
    EXPECT_EQ(tx, 0);
    EXPECT_EQ(rx, 1);
    EXPECT_EQ(c.api.get_overrun_state(0, nullptr, nullptr), 0);
    EXPECT_EQ(c.api.get_driver_state(&run, &error, nullptr), 0);
    EXPECT_EQ(run, 0);
    EXPECT_EQ(error, 1);
}

TEST(Canport, ThreadsCallingAtOnceNeverWaitAndEndReady)
{
    publish(1);
    CanPort c;
    std::atomic<bool> go{false};
    std::vector<int32_t> results(8, 99);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) {
            }
            int32_t count = 0;
            results[i] = c.api.get_driver_state(nullptr, nullptr, &count);
        });
    go = true;
    for (std::thread &t : threads)
        t.join();
    size_t ready = 0;
    for (int32_t r : results) {
        EXPECT_TRUE(r == 0 || r == -1) << r << ": ready, or not ready while another thread looks up";
        ready += r == 0;
    }
    EXPECT_GE(ready, 1u) << "the thread that looked up is ready";
    int32_t count = 0;
    EXPECT_EQ(c.api.get_driver_state(nullptr, nullptr, &count), 0);
    EXPECT_EQ(count, 1);
}

TEST(Canport, NoChannelMeansReadyWithNoChannelOnEveryCall)
{
    publish(0);
    CanPort c;
    int32_t count = -5;
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(c.api.get_driver_state(nullptr, nullptr, &count), 0) << "call " << call;
        EXPECT_EQ(count, 0);
        EXPECT_EQ(c.api.write(0, 1, 0, 0, 0, kData), -2) << "call " << call;
    }
}

std::atomic<uint32_t> last_code{0};
uint32_t handler(uint32_t, uint32_t code, uint32_t)
{
    last_code = code;
    return 0;
}

TEST(Canport, ManualStartSendsTheRunCodeToTheServiceEcat)
{
    CanPort c;
    EXPECT_NE(c.api.manual_start(), 0) << "no service ECAT runs";
    KoServiceBindNames("ECAT");
    KoServiceRegistration registration{KO_REGISTRATION_SIGNATURE, handler, {}};
    ASSERT_EQ(KoServiceRegister(&registration), KO_OK) << KoServiceError();
    EXPECT_EQ(c.api.manual_start(), 0);
    for (int i = 0; i < 500 && last_code.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(last_code.load(), 102u);
}

}  // namespace
