// wire_master.cpp - the operational cycle of the wire master: one frame of
// process data out per cycle, the previous cycle's frame back, working
// counters checked, and the images updated with the EL6751 handshake words
// in the order the CAN driver relies on.
#include "wire_master.h"

#include "ecatsim.h"
#include "can_frame.h"
#include "gateway.h"
#include "kohgapi.h"

#include <algorithm>

namespace ecatwire {
namespace {

constexpr uint32_t kLostInRowIsLinkLoss = 3;
constexpr uint32_t kHandshakeBytes = 6;  // three words at each area's start
using ecatsim::kDeviceStateBytes;

uint16_t load_word(const uint8_t *at)
{
    return __atomic_load_n(reinterpret_cast<const uint16_t *>(at), __ATOMIC_ACQUIRE);
}

void store_word(uint8_t *at, uint16_t value)
{
    __atomic_store_n(reinterpret_cast<uint16_t *>(at), value, __ATOMIC_RELEASE);
}

// Copies [from, to) of source to target, leaving out the gateways' areas
// (offset and size per area from area_of).
template <typename AreaOf>
void copy_around(uint8_t *target, const uint8_t *source, uint32_t from, uint32_t to,
                 const std::vector<GatewayArea> &gateways, AreaOf area_of)
{
    auto copy = [&](uint32_t at, uint32_t length) {
        if (length > 0)  // an empty image has no memory at all
            std::memcpy(target + at, source + at, length);
    };
    uint32_t at = from;
    for (const GatewayArea &g : gateways) {
        auto [offset, size] = area_of(g);
        copy(at, offset - at);
        at = offset + size;
    }
    copy(at, to - at);
}

uint32_t align8(uint32_t offset)
{
    return (offset + 7u) & ~7u;
}

bool overlaps(uint32_t a, uint32_t a_length, uint32_t b, uint32_t b_length)
{
    return a_length > 0 && b_length > 0 && a < b + b_length && b < a + a_length;
}

}  // namespace

std::unique_ptr<ecatsim::Segment> wire_segment(const std::string &interface, const ecatsim::BusDecl &bus,
                                               const ecatsim::Layout &layout, int64_t period_ns)
{
    return std::make_unique<WireMaster>(interface, bus, layout, period_ns);
}

WireMaster::WireMaster(const std::string &interface, const ecatsim::BusDecl &bus, const ecatsim::Layout &layout,
                       int64_t period_ns)
    : interface_(interface), on_("EtherCAT on " + interface + ": "), bus_(bus), layout_(layout), period_ns_(period_ns), in_base_(align8(layout.out_size)),
      in_stage_(layout.in_size, 0)
{
    uint32_t total = in_base_ + layout.in_size;
    for (uint32_t start = 0; start < total; start += kMaxDatagramData) {
        Chunk c;
        c.start = start;
        c.length = static_cast<uint16_t>(std::min<uint32_t>(kMaxDatagramData, total - start));
        for (size_t i = 0; i < bus.terminals.size(); ++i) {
            const ecatsim::TerminalDecl &t = bus.terminals[i];
            if (overlaps(c.start, c.length, layout.places[i].out_offset, t.out_size))
                c.expected_wkc += 2;
            if (overlaps(c.start, c.length, in_base_ + layout.places[i].in_offset, t.in_size))
                c.expected_wkc += 1;
        }
        chunks_.push_back(c);
    }
    if (chunks_.empty())  // couplers only: one byte nobody maps still shows whether the cable answers
        chunks_.push_back({0, 1, 0});
    answered_.assign(chunks_.size(), 0);
    for (size_t i = 0; i < bus.terminals.size(); ++i) {
        const ecatsim::TerminalDecl &t = bus.terminals[i];
        if (t.kind == ecatsim::Kind::Gateway && t.format != CAN_FORMAT_OTHER)
            gateways_.push_back({layout.places[i].in_offset, t.in_size, layout.places[i].out_offset, t.out_size});
    }
    out_stage_.assign(layout.out_size, 0);
}

// An Open never refuses at once: only a start-up finds out whether the
// cable answers. A lost link stays reported until it does.
bool WireMaster::open(ecatsim::MasterState &s)
{
    s.startup_error.store(ECATSIM_OK);
    s.target.store(ECATSIM_STATE_OP);
    retry_.store(true);
    return true;
}

ecatsim::CycleOutcome WireMaster::cycle(ecatsim::MasterState &s, ecatsim::Images &images, int64_t)
{
    if (s.link_lost.load() && !retry_.exchange(false))
        return ecatsim::CycleOutcome::Idle;
    if (s.link_lost.load() || s.state.load() < s.target.load()) {
        Outcome outcome = bring_up(s, images);
        report(outcome);
        s.link_lost.store(outcome.failure == Failure::NoAnswer);
        if (outcome.failure == Failure::NoAnswer) {
            s.state.store(ECATSIM_STATE_INIT);
            s.startup_error.store(ECATSIM_E_LINK_DOWN);
        } else if (outcome.failure == Failure::Refused) {
            s.target.store(s.state.load());
            s.startup_error.store(ECATSIM_E_ESM_TIMEOUT);
        }
        in_flight_ = false;
        lost_in_row_ = 0;
        return ecatsim::CycleOutcome::Resync;
    }
    if (s.state.load() != ECATSIM_STATE_OP)
        return ecatsim::CycleOutcome::Idle;
    bool passed = false;
    if (in_flight_) {
        passed = take_answers();
        if (passed) {
            publish_inputs(images);
            lost_in_row_ = 0;
            settle();
        } else {
            s.lost_cycles.fetch_add(1);
            if (++lost_in_row_ >= kLostInRowIsLinkLoss) {
                s.state.store(ECATSIM_STATE_INIT);
                s.link_lost.store(true);
                s.startup_error.store(ECATSIM_E_LINK_DOWN);  // an Open waiting for OP learns it too
                in_flight_ = false;
                report({Failure::NoAnswer, on_ + std::to_string(lost_in_row_) +
                                               " cycles in a row lost (no answer or a wrong working counter): "
                                               "the link is down"});
                return ecatsim::CycleOutcome::Idle;
            }
        }
    }
    in_flight_ = send_process_data(images);
    if (!passed)
        return ecatsim::CycleOutcome::Idle;
    s.cycles.fetch_add(1);
    return ecatsim::CycleOutcome::Passed;
}

// The outputs into the frames' copy. A gateway's records and their count
// are taken only when its tx_counter shows a new batch: the driver writes
// them before it raises the counter and not again until the terminal
// acknowledged them. rx_ack is the driver's atomic word of every cycle.
void WireMaster::stage_outputs(ecatsim::Images &images)
{
    std::lock_guard<std::mutex> lock(images.lock);
    copy_around(out_stage_.data(), images.output, 0, layout_.out_size, gateways_,
                [](const GatewayArea &g) { return std::make_pair(g.out_offset, g.out_size); });
    for (const GatewayArea &g : gateways_) {
        const uint8_t *area = images.output + g.out_offset;
        uint8_t *staged = out_stage_.data() + g.out_offset;
        uint16_t counter = load_word(area + CAN_IMAGE_TX_COUNTER);
        if (counter != get16(staged + CAN_IMAGE_TX_COUNTER)) {
            std::memcpy(staged + CAN_IMAGE_TX_COUNT, area + CAN_IMAGE_TX_COUNT, 2);
            std::memcpy(staged + kHandshakeBytes, area + kHandshakeBytes, g.out_size - kHandshakeBytes);
            put16(staged + CAN_IMAGE_TX_COUNTER, counter);
        }
        put16(staged + CAN_IMAGE_RX_ACK, load_word(area + CAN_IMAGE_RX_ACK));
    }
}

bool WireMaster::send_process_data(ecatsim::Images &images)
{
    stage_outputs(images);
    first_index_ = index_;
    std::fill(answered_.begin(), answered_.end(), 0);
    bool sent = true;
    for (const Chunk &c : chunks_) {
        builder_.start(socket_.mac());
        uint8_t *data = builder_.add(kLrw, index_++, c.start, c.length);
        if (c.start < layout_.out_size)
            std::memcpy(data, out_stage_.data() + c.start, std::min(c.start + c.length, layout_.out_size) - c.start);
        size_t size = 0;
        const uint8_t *frame = builder_.finish(size);
        sent = socket_.send(frame, size) && sent;
    }
    return sent;
}

// The answers waiting on the socket; true when every chunk of the frames in
// flight came back with its working counter.
bool WireMaster::take_answers()
{
    for (;;) {
        long size = socket_.receive(frame_, sizeof frame_, 0);
        if (size <= 0)
            break;
        FrameReader reader(frame_, static_cast<size_t>(size));
        if (!reader.valid())
            continue;
        for (Datagram d; reader.next(d);) {
            size_t c = static_cast<uint8_t>(d.index - first_index_);
            if (d.command != kLrw || c >= chunks_.size() || d.address != chunks_[c].start ||
                d.length != chunks_[c].length)
                continue;  // an answer from an earlier cycle or another kind of frame
            if (d.working_counter() != chunks_[c].expected_wkc)
                continue;
            answered_[c] = 1;
            uint32_t from = std::max(chunks_[c].start, in_base_);
            uint32_t to = std::min(chunks_[c].start + chunks_[c].length, in_base_ + layout_.in_size);
            if (from < to)
                std::memcpy(in_stage_.data() + (from - in_base_), d.data + (from - chunks_[c].start), to - from);
        }
    }
    return std::all_of(answered_.begin(), answered_.end(), [](uint8_t a) { return a != 0; });
}

// Inputs into the image. A gateway's records are written only with a new
// batch (a changed rx_counter), before the counter's release store, so a
// driver that sees the counter sees its records; its other words and its
// device-state bytes are atomic stores.
void WireMaster::publish_inputs(ecatsim::Images &images)
{
    std::lock_guard<std::mutex> lock(images.lock);
    copy_around(images.input, in_stage_.data(), 0, layout_.in_size, gateways_,
                [](const GatewayArea &g) { return std::make_pair(g.in_offset, g.in_size); });
    for (const GatewayArea &g : gateways_) {
        uint8_t *area = images.input + g.in_offset;
        const uint8_t *staged = in_stage_.data() + g.in_offset;
        uint32_t records = g.in_size - kHandshakeBytes - kDeviceStateBytes;
        if (get16(staged + CAN_IMAGE_RX_COUNTER) != load_word(area + CAN_IMAGE_RX_COUNTER)) {
            std::memcpy(area + kHandshakeBytes, staged + kHandshakeBytes, records);
            store_word(area + CAN_IMAGE_RX_COUNT, get16(staged + CAN_IMAGE_RX_COUNT));
            store_word(area + CAN_IMAGE_RX_COUNTER, get16(staged + CAN_IMAGE_RX_COUNTER));
        }
        store_word(area + CAN_IMAGE_TX_ACK, get16(staged + CAN_IMAGE_TX_ACK));
        for (uint32_t b = g.in_size - kDeviceStateBytes; b < g.in_size; ++b)
            __atomic_store_n(area + b, staged[b], __ATOMIC_RELAXED);
    }
}

}  // namespace ecatwire
