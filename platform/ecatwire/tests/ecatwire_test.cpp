// The wire's pieces without a cable: frames of datagrams, SII images of
// every terminal type read back, and the simulated slave controllers'
// addressing, working counters, AL state machine and FMMUs.
#include "datagram.h"
#include "sii.h"
#include "slave_controller.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace ecatwire;

const uint8_t kMac[6] = {2, 0, 0, 0, 0, 1};

ecatsim::TerminalDecl terminal(const char *name, const char *type)
{
    ecatsim::BusDecl bus = ecatsim::default_bus();
    for (const ecatsim::TerminalDecl &t : bus.terminals)
        if (t.type == type) {
            ecatsim::TerminalDecl copy = t;
            copy.name = name;
            return copy;
        }
    ADD_FAILURE() << type;
    return {};
}

// A frame of one datagram through chain; the datagram as it came back.
struct Answer {
    uint16_t wkc = 0, adp = 0;
    std::vector<uint8_t> data;
};
Answer pass(std::vector<SlaveController> &chain, uint8_t command, uint32_t address, std::vector<uint8_t> data)
{
    FrameBuilder builder;
    builder.start(kMac);
    std::copy(data.begin(), data.end(), builder.add(command, 7, address, static_cast<uint16_t>(data.size())));
    size_t size = 0;
    std::vector<uint8_t> frame(builder.finish(size), builder.finish(size) + size);
    pass_frame(chain, frame.data(), size);
    FrameReader reader(frame.data(), size);
    Datagram d;
    EXPECT_TRUE(reader.valid() && reader.next(d));
    return {d.working_counter(), d.adp(), std::vector<uint8_t>(d.data, d.data + d.length)};
}

uint32_t reg(uint16_t slave_address, uint16_t reg)
{
    return slave_address | (uint32_t{reg} << 16);
}

std::vector<uint8_t> u16(uint16_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

TEST(Datagrams, FramesCarrySeveralDatagramsAndTheReaderStopsAtLengthsThatDoNotAddUp)
{
    FrameBuilder builder;
    builder.start(kMac);
    builder.add(kBrd, 1, 0, 2)[0] = 0xAA;
    builder.add(kLrw, 2, 0x100, 300)[299] = 0xBB;
    size_t size = 0;
    std::vector<uint8_t> frame(builder.finish(size), builder.finish(size) + size);
    FrameReader reader(frame.data(), size);
    ASSERT_TRUE(reader.valid());
    Datagram a, b, none;
    ASSERT_TRUE(reader.next(a));
    ASSERT_TRUE(reader.next(b));
    EXPECT_FALSE(reader.next(none));
    EXPECT_EQ(a.command, kBrd);
    EXPECT_EQ(a.data[0], 0xAA);
    EXPECT_EQ(b.address, 0x100u);
    EXPECT_EQ(b.data[299], 0xBB);

    const struct {
        size_t at;
        uint8_t value;
        const char *fault;
    } broken[] = {
        {12, 0x08, "another EtherType"},
        {15, 0x07, "a frame length past the end"},
        {kEthernetHeader + kFrameHeader + 7, 0x07, "a datagram length past the frame length"},
    };
    for (const auto &c : broken) {
        std::vector<uint8_t> copy = frame;
        copy[c.at] = c.value;
        FrameReader bad(copy.data(), size);
        Datagram d;
        int seen = 0;
        while (bad.valid() && bad.next(d))
            ++seen;
        EXPECT_LT(seen, 2) << c.fault;
    }
    builder.start(kMac);
    builder.add(kNop, 0, 0, 0);
    builder.finish(size);
    EXPECT_EQ(size, kMinFrame) << "a short frame is padded";
}

TEST(Sii, EveryTerminalTypeReadsBackWithItsIdentityNamesAndProcessData)
{
    for (const char *type : {"EK1100", "EL1008", "EL2008", "EL3102", "EL6751"}) {
        ecatsim::TerminalDecl t = terminal("T1", type);
        SiiInfo info;
        std::string error;
        ASSERT_TRUE(parse_sii(make_sii(t, false), info, error)) << type << ": " << error;
        EXPECT_EQ(info.vendor, ecatsim::kVendor) << type;
        EXPECT_EQ(info.product, t.product_code) << type;
        EXPECT_EQ(info.order, type);
        EXPECT_EQ(info.name, "T1");
        EXPECT_EQ(info.in_bytes(), t.in_size) << type;
        EXPECT_EQ(info.out_bytes(), t.out_size) << type;
        if (t.in_size > 0) {
            EXPECT_EQ(info.sync_managers.at(static_cast<size_t>(info.in_sm)).start, inputs_at(t.out_size)) << type;
        }
        if (t.out_size > 0) {
            EXPECT_EQ(info.sync_managers.at(static_cast<size_t>(info.out_sm)).start, kOutputsAt) << type;
        }
    }
    std::vector<uint16_t> cut = make_sii(terminal("T1", "EL6751"), false);
    cut.resize(cut.size() - 20);
    SiiInfo info;
    std::string error;
    EXPECT_FALSE(parse_sii(cut, info, error));
    EXPECT_NE(error.find("runs past the end"), std::string::npos) << error;
}

TEST(SlaveControllers, AddressingAndWorkingCountersFollowTheStandard)
{
    ecatsim::TerminalDecl k = terminal("K", "EK1100"), di = terminal("DI", "EL1008"), ai = terminal("AI", "EL3102");
    std::vector<uint8_t> in(16), out(16);
    std::vector<SlaveController> chain;
    chain.emplace_back(k, in.data(), out.data(), false);
    chain.emplace_back(di, in.data(), out.data(), false);
    chain.emplace_back(ai, in.data() + 1, out.data(), false);

    Answer count = pass(chain, kBrd, reg(0, kRegType), {0});
    EXPECT_EQ(count.wkc, 3) << "a broadcast read counts every slave";
    EXPECT_EQ(count.adp, 3) << "and every slave counts the position up";
    EXPECT_EQ(pass(chain, kApwr, reg(0xFFFF, kRegStation), u16(1002)).wkc, 1) << "position 1";
    EXPECT_EQ(pass(chain, kFprd, reg(1002, kRegStation), u16(0)).data, u16(1002));
    EXPECT_EQ(pass(chain, kFprd, reg(1003, kRegStation), u16(0)).wkc, 0) << "no slave has station 1003";
    Answer rw = pass(chain, kFprw, reg(1002, kRegStation), u16(1005));
    EXPECT_EQ(rw.wkc, 3) << "read and write";
    EXPECT_EQ(rw.data, u16(1002)) << "a read-write gives back what was there";
    EXPECT_EQ(chain[1].station(), 1005);
}

TEST(SlaveControllers, StatesClimbOneStepAndSafeopNeedsSyncManagersAndFmmusThatFitTheProcessData)
{
    ecatsim::TerminalDecl io = terminal("DO", "EL2008");
    io.in_size = 2;  // inputs and outputs on one terminal
    std::vector<uint8_t> in(2), out(1);
    std::vector<SlaveController> chain;
    chain.emplace_back(io, in.data(), out.data(), false);
    pass(chain, kApwr, reg(0, kRegStation), u16(1001));
    auto request = [&](uint16_t state) {
        pass(chain, kFpwr, reg(1001, kRegAlControl), u16(state));
        Answer a = pass(chain, kFprd, reg(1001, kRegAlStatus), std::vector<uint8_t>(6));
        return std::make_pair(get16(a.data.data()), get16(a.data.data() + 4));
    };
    auto sm = [&](int n, uint16_t start, uint16_t length) {
        std::vector<uint8_t> r(8);
        put16(r.data(), start);
        put16(r.data() + 2, length);
        r[6] = 1;
        pass(chain, kFpwr, reg(1001, static_cast<uint16_t>(kRegSm + 8 * n)), r);
    };
    auto fmmu = [&](int n, uint32_t logical, uint16_t length, uint16_t physical, uint8_t type) {
        std::vector<uint8_t> r(16);
        put32(r.data(), logical);
        put16(r.data() + 4, length);
        r[7] = 7;
        put16(r.data() + 8, physical);
        r[11] = type;
        r[12] = 1;
        pass(chain, kFpwr, reg(1001, static_cast<uint16_t>(kRegFmmu + 16 * n)), r);
    };
    const struct {
        uint16_t request, status, code;
        std::function<void()> before;
    } steps[] = {
        {kAlSafeop, kAlInit | kAlError, kAlCodeInvalidStateChange, nullptr},
        {kAlInit | kAlAcknowledge, kAlInit, kAlCodeNone, nullptr},
        {kAlPreop, kAlPreop, kAlCodeNone, nullptr},
        {kAlSafeop, kAlPreop | kAlError, kAlCodeInvalidOutputConfig, nullptr},
        {kAlSafeop | kAlAcknowledge, kAlPreop | kAlError, kAlCodeInvalidInputConfig,
         [&] { sm(0, kOutputsAt, 1), fmmu(0, 0, 1, kOutputsAt, kFmmuWrite); }},
        {kAlSafeop | kAlAcknowledge, kAlPreop | kAlError, kAlCodeInvalidInputConfig,
         [&] { sm(1, inputs_at(1), 2); }},
        {kAlSafeop | kAlAcknowledge, kAlSafeop, kAlCodeNone, [&] { fmmu(1, 8, 2, inputs_at(1), kFmmuRead); }},
        {kAlBoot, kAlSafeop | kAlError, kAlCodeBootNotSupported, nullptr},
        {kAlOp | kAlAcknowledge, kAlOp, kAlCodeNone, nullptr},
    };
    for (const auto &step : steps) {
        if (step.before)
            step.before();
        auto [status, code] = request(step.request);
        EXPECT_EQ(status, step.status) << "request " << step.request;
        EXPECT_EQ(code, step.code) << "request " << step.request;
    }
    in = {0x34, 0x12};
    Answer lrw = pass(chain, kLrw, 0, {0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(lrw.wkc, 3) << "read 1 + written 2";
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(lrw.data[8], 0x34);
    EXPECT_EQ(lrw.data[9], 0x12);
    EXPECT_EQ(pass(chain, kLrd, 0, std::vector<uint8_t>(10)).wkc, 1);
    request(kAlSafeop);
    EXPECT_EQ(out[0], 0) << "outputs fall to 0 below OP";
}

}  // namespace
