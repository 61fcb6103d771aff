// bring_up.cpp - the wire master's start-up: the chain counted and checked
// against the bus file, station addresses, the SII read, sync managers and
// FMMUs written, and the AL states walked up to OP. It runs in the cycle
// thread when an Open asks for more than the slaves have; every failure
// names the slave, the state and the AL status code in words.
#include "wire_master.h"

#include "ecatsim.h"
#include "kohgapi.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace ecatwire {
namespace {

constexpr int64_t kAnswerTimeoutNs = 20'000'000;
constexpr int kAttempts = 3;
constexpr int64_t kStateTimeoutMs = 5000;
constexpr uint16_t kFirstStation = 1001;

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

uint16_t position(size_t slave)
{
    return static_cast<uint16_t>(-static_cast<int>(slave));
}

// The station address the start-up gives a slave.
uint16_t station_of(size_t slave)
{
    return static_cast<uint16_t>(kFirstStation + slave);
}

uint32_t register_address(uint16_t slave_address, uint16_t reg)
{
    return slave_address | (uint32_t{reg} << 16);
}

}  // namespace

bool WireMaster::transact(uint8_t command, uint32_t address, uint8_t *data, uint16_t length, uint16_t &wkc)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        uint8_t index = index_++;
        builder_.start(socket_.mac());
        std::memcpy(builder_.add(command, index, address, length), data, length);
        size_t size = 0;
        const uint8_t *frame = builder_.finish(size);
        if (!socket_.send(frame, size))
            return false;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kAnswerTimeoutNs);
        while (std::chrono::steady_clock::now() < give_up) {
            long got = socket_.receive(frame_, sizeof frame_, kAnswerTimeoutNs);
            if (got <= 0)
                break;
            FrameReader reader(frame_, static_cast<size_t>(got));
            Datagram d;
            if (!reader.valid() || !reader.next(d) || d.index != index || d.command != command || d.length != length)
                continue;  // a late answer to an earlier frame
            std::memcpy(data, d.data, length);
            wkc = d.working_counter();
            return true;
        }
    }
    return false;
}

std::string WireMaster::slave_name(size_t slave) const
{
    if (slave >= bus_.terminals.size())
        return "slave " + std::to_string(slave);
    const ecatsim::TerminalDecl &t = bus_.terminals[slave];
    return "slave " + std::to_string(slave) + " " + t.name + " (" + t.type + ")";
}

// A fault says its line once, however often reconnections meet it again;
// "operational" is said once after each fault said. After a second of
// operation without a fault, the same fault is news again.
void WireMaster::report(const Outcome &outcome)
{
    if (outcome.failure == Failure::None) {
        if (!success_said_)
            KoLogWrite("ecatwire", "INF", outcome.text.c_str());
        success_said_ = true;
        operational_since_ = std::chrono::steady_clock::now();
        return;
    }
    if (outcome.text == last_report_)
        return;
    last_report_ = outcome.text;
    success_said_ = false;
    KoLogWrite("ecatwire", "ERR", outcome.text.c_str());
}

void WireMaster::settle()
{
    if (!last_report_.empty() && std::chrono::steady_clock::now() - operational_since_ >= std::chrono::seconds(1))
        last_report_.clear();
}

WireMaster::Outcome WireMaster::bring_up(ecatsim::MasterState &s, ecatsim::Images &images)
{
    s.state.store(ECATSIM_STATE_INIT);
    if (!socket_open_) {
        std::string error;
        socket_open_ = socket_.open(interface_, error);
        if (!socket_open_)
            return {Failure::NoAnswer, "EtherCAT: " + error};
    }
    uint16_t wkc = 0;
    uint8_t init[2] = {kAlInit | kAlAcknowledge, 0};
    uint8_t type = 0;
    if (!transact(kBwr, register_address(0, kRegAlControl), init, 2, wkc) ||
        !transact(kBrd, register_address(0, kRegType), &type, 1, wkc) || wkc == 0)
        return {Failure::NoAnswer, on_ + "no frame came back (no cable, or no slave answers)"};
    uint16_t count = wkc;
    uint8_t zeros[kFmmuSize * kFmmus] = {};
    if (!transact(kBwr, register_address(0, kRegFmmu), zeros, sizeof zeros, wkc) ||
        !transact(kBwr, register_address(0, kRegSm), zeros, kSmSize * kSms, wkc))
        return {Failure::NoAnswer, on_ + "no answer while clearing the FMMUs and sync managers"};
    for (size_t i = 0; i < count; ++i) {
        uint8_t station[2];
        put16(station, station_of(i));
        if (!transact(kApwr, register_address(position(i), kRegStation), station, 2, wkc) || wkc != 1)
            return {Failure::NoAnswer, on_ + "slave " + std::to_string(i) + " took no station address"};
    }
    if (Outcome o = check_chain(count); o.failure != Failure::None)
        return o;
    for (size_t i = 0; i < count; ++i) {
        SiiInfo info;
        if (Outcome o = read_sii(i, info); o.failure != Failure::None)
            return o;
        if (Outcome o = configure(i, info); o.failure != Failure::None)
            return o;
    }
    for (uint16_t state : {kAlPreop, kAlSafeop})
        if (Outcome o = walk_to(s, state); o.failure != Failure::None)
            return o;
    // Valid outputs before OP, as terminals with a watchdog want them.
    send_process_data(images);
    in_flight_ = false;
    if (Outcome o = walk_to(s, kAlOp); o.failure != Failure::None)
        return o;
    return {Failure::None, on_ + std::to_string(count) + " slaves operational"};
}

// The chain's length against the bus file's; identities are checked with
// the SII.
WireMaster::Outcome WireMaster::check_chain(uint16_t count)
{
    size_t expected = bus_.terminals.size();
    if (count < expected)
        return {Failure::Refused, on_ + slave_name(count) + " is missing: the chain ends after " +
                                      std::to_string(count) + (count == 1 ? " slave" : " slaves")};
    if (count > expected)
        return {Failure::Refused, on_ + "the chain holds " + std::to_string(count) + " slaves, the bus file " +
                                      std::to_string(expected)};
    return {};
}

WireMaster::Outcome WireMaster::read_sii(size_t slave, SiiInfo &info)
{
    std::string here = on_ + slave_name(slave) + ": ";
    uint16_t station = station_of(slave);
    std::vector<uint16_t> words;
    uint16_t wkc = 0;
    uint8_t to_master[2] = {0, 0};  // a controller may have given the EEPROM to its local side
    if (!transact(kFpwr, register_address(station, kRegSiiConfig), to_master, 2, wkc) || wkc != 1)
        return {Failure::NoAnswer, here + "no answer when taking the SII"};
    while (words.size() < sii_words_needed(words)) {
        uint8_t request[6];
        put16(request, kSiiRead);
        put32(request + 2, static_cast<uint32_t>(words.size()));
        uint8_t status[2] = {};
        if (!transact(kFpwr, register_address(station, kRegSiiControl), request, 6, wkc) || wkc != 1)
            return {Failure::NoAnswer, here + "no answer to an SII read"};
        auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        do {
            if (!transact(kFprd, register_address(station, kRegSiiControl), status, 2, wkc))
                return {Failure::NoAnswer, here + "no answer to an SII read"};
        } while ((get16(status) & kSiiBusy) != 0 && std::chrono::steady_clock::now() < give_up);
        if ((get16(status) & (kSiiBusy | kSiiError)) != 0)
            return {Failure::Refused, here + "the SII does not answer at word " + std::to_string(words.size())};
        uint8_t data[8] = {};
        uint16_t bytes = (get16(status) & kSiiReadEight) != 0 ? 8 : 4;
        if (!transact(kFprd, register_address(station, kRegSiiData), data, bytes, wkc))
            return {Failure::NoAnswer, here + "no answer to an SII read"};
        for (uint16_t b = 0; b < bytes; b += 2)
            words.push_back(get16(data + b));
    }
    std::string error;
    if (!parse_sii(words, info, error))
        return {Failure::Refused, here + error};
    const ecatsim::TerminalDecl &t = bus_.terminals[slave];
    if (info.vendor != ecatsim::kVendor || info.product != t.product_code)
        return {Failure::Refused, here + "the bus file has product " + hex(t.product_code, 8) + ", the chain has " +
                                      (info.order.empty() ? "a terminal" : info.order) + " (vendor " +
                                      hex(info.vendor, 8) + ", product " + hex(info.product, 8) + ")"};
    if (info.in_bytes() != t.in_size || info.out_bytes() != t.out_size)
        return {Failure::Refused, here + "its SII announces " + std::to_string(info.in_bytes()) + " input and " +
                                      std::to_string(info.out_bytes()) + " output bytes, the bus file " +
                                      std::to_string(t.in_size) + " and " + std::to_string(t.out_size)};
    return {};
}

// Sync managers as the SII lists them (the process data ones with the
// PDOs' sizes) and one FMMU per direction into the logical space.
WireMaster::Outcome WireMaster::configure(size_t slave, const SiiInfo &info)
{
    std::string here = on_ + slave_name(slave) + ": ";
    uint16_t station = station_of(slave);
    const ecatsim::TerminalDecl &t = bus_.terminals[slave];
    uint16_t wkc = 0;
    for (size_t n = 0; n < info.sync_managers.size() && n < kSms; ++n) {
        const SiiSyncManager &sm = info.sync_managers[n];
        uint16_t length = static_cast<int>(n) == info.in_sm    ? static_cast<uint16_t>(t.in_size)
                          : static_cast<int>(n) == info.out_sm ? static_cast<uint16_t>(t.out_size)
                                                               : sm.length;
        uint8_t reg[kSmSize] = {};
        put16(reg, sm.start);
        put16(reg + 2, length);
        reg[4] = sm.control;
        reg[6] = length > 0 ? (sm.enable & 1) : 0;
        if (!transact(kFpwr, register_address(station, static_cast<uint16_t>(kRegSm + kSmSize * n)), reg, kSmSize,
                      wkc) ||
            wkc != 1)
            return {Failure::NoAnswer, here + "no answer while writing sync manager " + std::to_string(n)};
    }
    size_t fmmu = 0;
    auto map = [&](int sm, uint32_t logical, uint32_t length, uint8_t type) {
        if (sm < 0 || length == 0)
            return true;
        uint8_t reg[kFmmuSize] = {};
        put32(reg, logical);
        put16(reg + 4, static_cast<uint16_t>(length));
        reg[7] = 7;  // the last bit of the last byte
        put16(reg + 8, info.sync_managers[static_cast<size_t>(sm)].start);
        reg[11] = type;
        reg[12] = 1;
        return transact(kFpwr, register_address(station, static_cast<uint16_t>(kRegFmmu + kFmmuSize * fmmu++)), reg,
                        kFmmuSize, wkc) &&
               wkc == 1;
    };
    const ecatsim::TerminalPlace &place = layout_.places[slave];
    if (!map(info.out_sm, place.out_offset, t.out_size, kFmmuWrite) ||
        !map(info.in_sm, in_base_ + place.in_offset, t.in_size, kFmmuRead))
        return {Failure::NoAnswer, here + "no answer while writing the FMMUs"};
    return {};
}

// Asks every slave for state and waits until each is there, refuses it, or
// the time-out passes.
WireMaster::Outcome WireMaster::walk_to(ecatsim::MasterState &s, uint16_t state)
{
    uint16_t wkc = 0;
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        uint16_t station = station_of(i);
        uint8_t control[2];
        put16(control, state);
        if (!transact(kFpwr, register_address(station, kRegAlControl), control, 2, wkc) || wkc != 1)
            return {Failure::NoAnswer, on_ + slave_name(i) + ": no answer to the request for " + al_state_name(state)};
        auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStateTimeoutMs);
        for (;;) {
            uint8_t status[6] = {};
            if (!transact(kFprd, register_address(station, kRegAlStatus), status, 6, wkc) || wkc != 1)
                return {Failure::NoAnswer, on_ + slave_name(i) + ": no answer while it goes to " + al_state_name(state)};
            uint16_t al = get16(status), code = get16(status + 4);
            if ((al & kAlError) != 0)
                return {Failure::Refused, on_ + slave_name(i) + " refused " + al_state_name(state) + " (it stays in " +
                                              al_state_name(al & kAlStateMask) + "): AL status code " +
                                              al_status_text(code)};
            if ((al & kAlStateMask) == state)
                break;
            if (std::chrono::steady_clock::now() >= give_up)
                return {Failure::Refused, on_ + slave_name(i) + " did not reach " + al_state_name(state) + " within " +
                                              std::to_string(kStateTimeoutMs) + " ms (it is in " +
                                              al_state_name(al & kAlStateMask) + ")"};
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    s.state.store(state);
    return {};
}

}  // namespace ecatwire
