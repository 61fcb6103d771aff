// EL6751 gateways on simulated CAN buses, driven from the host side of the
// counter handshake through the directly addressed images, as the CAN
// driver does: frames cross between gateways, no faster than the bit rate,
// standard gateways refuse extended frames, and what cannot be kept is
// counted as lost.
#include "can_bus.h"
#include "can_frame.h"
#include "sim_client.h"

#include <cstring>
#include <vector>

namespace {

// The host side of one gateway's images.
struct Host {
    Host(Sim &sim, uint32_t index)
    {
        EhSlaveSearch s = gateway_search(index);
        EXPECT_EQ(sim.find(sim.handle, &s), EH_OK);
        uintptr_t in_base = 0, out_base = 0;
        uint32_t size = 0;
        sim.in_address(sim.handle, &in_base, &size);
        sim.out_address(sim.handle, &out_base, &size);
        in = reinterpret_cast<uint8_t *>(in_base) + s.in_offset;
        out = reinterpret_cast<uint8_t *>(out_base) + s.out_offset;
        in_size = s.in_size;
        standard = s.out_size == 106;
    }
    uint16_t in_word(size_t at) const { return __atomic_load_n(reinterpret_cast<uint16_t *>(in + at), __ATOMIC_ACQUIRE); }
    void out_word(size_t at, uint16_t v) { __atomic_store_n(reinterpret_cast<uint16_t *>(out + at), v, __ATOMIC_RELEASE); }

    // Places a batch once the gateway has taken the last one; false when it
    // has not within the time.
    bool send(const std::vector<CAN_COMM_DATA_EL6751_EXT> &frames, int timeout_ms = 5000)
    {
        if (!eventually([&] { return in_word(0) == __atomic_load_n(reinterpret_cast<uint16_t *>(out), __ATOMIC_ACQUIRE); },
                        timeout_ms))
            return false;
        for (size_t m = 0; m < frames.size(); ++m)
            CanImageRecordPut(out + 6, standard, static_cast<unsigned>(m), &frames[m]);
        uint16_t count = static_cast<uint16_t>(frames.size());
        std::memcpy(out + 4, &count, 2);
        out_word(0, static_cast<uint16_t>(in_word(0) + 1));
        return true;
    }

    // Takes the batch on offer, if any.
    std::vector<CAN_COMM_DATA_EL6751_EXT> receive()
    {
        std::vector<CAN_COMM_DATA_EL6751_EXT> frames;
        uint16_t counter = in_word(2);
        uint16_t ack = 0;
        std::memcpy(&ack, out + 2, 2);
        if (counter == ack)
            return frames;
        uint16_t count = in_word(4);
        for (uint16_t m = 0; m < count; ++m) {
            CAN_COMM_DATA_EL6751_EXT frame{};
            CanImageRecordGet(in + 6, standard, m, &frame);
            frames.push_back(frame);
        }
        out_word(2, counter);
        return frames;
    }

    std::vector<CAN_COMM_DATA_EL6751_EXT> receive_all(size_t count, int timeout_ms = 5000)
    {
        std::vector<CAN_COMM_DATA_EL6751_EXT> all;
        eventually(
            [&] {
                for (const auto &f : receive())
                    all.push_back(f);
                return all.size() >= count;
            },
            timeout_ms);
        return all;
    }

    uint8_t device_state(size_t byte) const { return __atomic_load_n(in + in_size - 7 + byte, __ATOMIC_RELAXED); }

    uint8_t *in = nullptr;
    uint8_t *out = nullptr;
    uint32_t in_size = 0;
    bool standard = false;
};

CAN_COMM_DATA_EL6751_EXT frame(uint32_t id, std::initializer_list<uint8_t> data)
{
    CAN_COMM_DATA_EL6751_EXT f{};
    f.id = id;
    f.length = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

std::string three_gateways(uint32_t bitrate)
{
    return "[[can_bus]]\nname = \"plant\"\nbitrate = " + std::to_string(bitrate) + R"(

[[terminal]]
name = "STD"
type = "EL6751"
can_bus = "plant"
format = "standard"

[[terminal]]
name = "EXT1"
type = "EL6751"
can_bus = "plant"

[[terminal]]
name = "EXT2"
type = "EL6751"
can_bus = "plant"
)";
}

uint32_t tag_u32(const char *name)
{
    uint32_t value = 0;
    KoTagRead(name, &value, 4);
    return value;
}

TEST(Gateway, FramesCrossToTheOtherGatewaysOfTheBus)
{
    bus_file(three_gateways(1000000));
    Sim sim;
    sim.start("node_name=line1");
    Host standard(sim, 0), first(sim, 1), second(sim, 2);
    std::vector<CAN_COMM_DATA_EL6751_EXT> sent = {frame(0x123, {0xDE, 0xAD, 0xBE, 0xEF}), frame(0x7FF, {}),
                                                  frame(0x001 | CAN_ID_RTR, {})};
    ASSERT_TRUE(standard.send(sent));
    for (Host *h : {&first, &second}) {
        auto got = h->receive_all(3);
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(uint32_t{got[i].id}, uint32_t{sent[i].id}) << i;
            EXPECT_EQ(uint16_t{got[i].length}, uint16_t{sent[i].length}) << i;
            EXPECT_EQ(std::memcmp(got[i].data, sent[i].data, sent[i].length), 0) << i;
        }
    }
    EXPECT_TRUE(standard.receive().empty()) << "a sender does not hear itself";

    ASSERT_TRUE(first.send({frame(0x12345678 | CAN_ID_EXTENDED, {1, 2, 3, 4, 5, 6, 7, 8}), frame(0x456, {9})}));
    auto got = second.receive_all(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(uint32_t{got[0].id}, 0x12345678u | CAN_ID_EXTENDED) << "one gateway sends in the order it was given";
    EXPECT_EQ(uint32_t{got[1].id}, 0x456u);
    EXPECT_EQ(std::memcmp(got[0].data, "\1\2\3\4\5\6\7\10", 8), 0);
    auto at_standard = standard.receive_all(1);
    ASSERT_EQ(at_standard.size(), 1u) << "the standard gateway takes only the standard frame";
    EXPECT_EQ(uint32_t{at_standard[0].id}, 0x456u);
    EXPECT_TRUE(eventually([] { return tag_u32("ECATSIM.line1.CAN.plant.Frames") == 5; }));
    EXPECT_EQ(tag_u32("ECATSIM.line1.CAN.plant.Lost"), 0u);
}

TEST(Gateway, FramesTakeTheTimeTheirBitsNeed)
{
    CAN_COMM_DATA_EL6751_EXT eight = frame(0x100, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(ecatsim::frame_bits(eight), 135u) << "98 stuffed bits, 24 stuff bits, 13 more";
    EXPECT_EQ(ecatsim::frame_bits(frame(0x100, {})), 55u);
    EXPECT_EQ(ecatsim::frame_bits(frame(0x100 | CAN_ID_EXTENDED, {1, 2, 3, 4, 5, 6, 7, 8})), 160u);
    EXPECT_EQ(ecatsim::frame_bits(frame(0x100 | CAN_ID_RTR, {})), 55u) << "a remote frame carries no data";

    bus_file(three_gateways(10000));  // 13.5 ms per 8-byte standard frame
    Sim sim;
    sim.start("node_name=line1");
    Host sender(sim, 1), receiver(sim, 2);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sender.send(std::vector<CAN_COMM_DATA_EL6751_EXT>(10, eight)));
    auto got = receiver.receive_all(10);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.size(), 10u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(130)) << "ten frames of 135 bits at 10 kbit/s";
}

TEST(Gateway, FramesAGatewayCannotKeepAreCountedAsLost)
{
    bus_file(three_gateways(1000000));
    Sim sim;
    sim.start("node_name=line1");
    Host sender(sim, 1), receiver(sim, 2);
    for (int batch = 0; batch < 10; ++batch)
        ASSERT_TRUE(sender.send(std::vector<CAN_COMM_DATA_EL6751_EXT>(10, frame((0x10 + batch) | CAN_ID_EXTENDED, {1}))));
    // The receiver's host never takes a batch: the first batch stays on
    // offer (as many frames as had arrived, at most 10), 64 more are queued,
    // and every other frame is counted as lost (the standard gateway does
    // not take extended frames).
    ASSERT_TRUE(eventually([] { return tag_u32("ECATSIM.line1.CAN.plant.Frames") == 100; }));
    uint16_t offered = receiver.in_word(4);
    EXPECT_GE(offered, 1);
    EXPECT_LE(offered, 10);
    uint32_t lost = 100 - 64 - offered;
    EXPECT_TRUE(eventually([&] { return tag_u32("ECATSIM.line1.CAN.plant.Lost") == lost; }))
        << tag_u32("ECATSIM.line1.CAN.plant.Lost") << " lost, " << offered << " on offer";
    EXPECT_TRUE(eventually([&] { return receiver.device_state(2) == lost && receiver.device_state(4) == 64; }));
    auto got = receiver.receive_all(64 + offered);
    EXPECT_EQ(got.size(), 64u + offered) << "the kept frames are all there, in order";
    EXPECT_EQ(uint32_t{got.front().id}, 0x10u | CAN_ID_EXTENDED);
}

TEST(Gateway, ASilentGatewayTakesNoBatchAndLosesWhatArrives)
{
    bus_file(three_gateways(1000000));
    Sim sim;
    sim.start("node_name=line1");
    Host standard(sim, 0), sender(sim, 1);
    set_switch("ECATSIM.line1.STD.Silent", 1, 1);
    ASSERT_TRUE(eventually([&] { return standard.device_state(0) == 1; }));
    ASSERT_TRUE(standard.send({frame(0x1, {})}));
    EXPECT_FALSE(standard.send({frame(0x2, {})}, 200)) << "the first batch is never taken";
    ASSERT_TRUE(sender.send({frame(0x3, {})}));
    EXPECT_TRUE(eventually([] { return tag_u32("ECATSIM.line1.CAN.plant.Lost") == 1; }));
    set_switch("ECATSIM.line1.STD.Silent", 0, 1);
    EXPECT_TRUE(standard.send({frame(0x2, {})})) << "answering again";
}

TEST(Gateway, AGatewayOfAnotherImageSizeOnlyShowsItsDeviceState)
{
    bus_file(R"(
[[can_bus]]
name = "plant"

[[terminal]]
name = "ODD"
type = "EL6751"
can_bus = "plant"
format = "other"
in_size = 120
out_size = 113
)");
    Sim sim;
    sim.start("node_name=line1");
    EhSlaveSearch s = gateway_search(0);
    ASSERT_EQ(sim.find(sim.handle, &s), EH_OK);
    EXPECT_EQ(s.in_size, 120u);
    EXPECT_EQ(s.out_size, 113u);
    Host odd(sim, 0);
    uint8_t cycle = odd.device_state(6);
    EXPECT_TRUE(eventually([&] { return odd.device_state(6) != cycle; })) << "the state bytes are live";
    odd.out_word(0, 1);
    cycle = odd.device_state(6);
    EXPECT_TRUE(eventually([&] { return static_cast<uint8_t>(odd.device_state(6) - cycle) >= 3; }))
        << "cycles pass";
    EXPECT_EQ(odd.in_word(0), 0) << "no handshake";
}

}  // namespace
