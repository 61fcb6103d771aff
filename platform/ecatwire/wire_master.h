// wire_master.h - the master's segment on a network interface: EtherCAT
// frames on a packet socket to the slave controllers of a cable.
//
// The bus file (or the default bus) says what the cable must hold: the
// start-up compares every slave's identity and process data sizes with it,
// so the images keep the simulated master's layout and every driver keeps
// its addresses. Start-up, asked for by Open, runs in the cycle thread:
// count the slaves (BRD), give station addresses (APWR 0x0010), read each
// SII, write sync managers and FMMUs from it, and walk INIT, PREOP, SAFEOP
// and OP, each with a time-out. Operational, every cycle sends one LRW per
// frame's worth of image (outputs first in the logical space, the inputs
// after them) and takes the answer to the previous cycle's frame: a missing
// answer or a wrong working counter is a lost cycle, and three in a row
// lose the link until the next Open.
#pragma once

#include "datagram.h"
#include "raw_socket.h"
#include "segment.h"
#include "sii.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ecatwire {

// The segment factory for hiecat.rsl.
std::unique_ptr<ecatsim::Segment> wire_segment(const std::string &interface, const ecatsim::BusDecl &bus,
                                               const ecatsim::Layout &layout, int64_t period_ns);

// One LRW datagram's share of the logical space.
struct Chunk {
    uint32_t start = 0;
    uint16_t length = 0;
    uint16_t expected_wkc = 0;
};

// An EL6751's areas: their handshake words and records cross between the
// images and the frames in the order the CAN driver relies on.
struct GatewayArea {
    uint32_t in_offset, in_size, out_offset, out_size;
};

class WireMaster final : public ecatsim::Segment {
public:
    WireMaster(const std::string &interface, const ecatsim::BusDecl &bus, const ecatsim::Layout &layout,
               int64_t period_ns);

    void make_tags(const std::string &) override {}  // no fault switches: on a wire the faults are real
    bool open(ecatsim::MasterState &s) override;
    ecatsim::CycleOutcome cycle(ecatsim::MasterState &s, ecatsim::Images &images, int64_t now_ns) override;
    void publish() override {}

private:
    // bring_up.cpp
    enum class Failure { None, NoAnswer, Refused };
    struct Outcome {
        Failure failure = Failure::None;
        std::string text;
    };
    Outcome bring_up(ecatsim::MasterState &s, ecatsim::Images &images);
    Outcome check_chain(uint16_t count);
    Outcome read_sii(size_t slave, SiiInfo &info);
    Outcome configure(size_t slave, const SiiInfo &info);
    Outcome walk_to(ecatsim::MasterState &s, uint16_t state);
    bool transact(uint8_t command, uint32_t address, uint8_t *data, uint16_t length, uint16_t &wkc);
    std::string slave_name(size_t slave) const;
    void report(const Outcome &outcome);
    void settle();

    // wire_master.cpp
    void stage_outputs(ecatsim::Images &images);
    bool send_process_data(ecatsim::Images &images);  // false when a frame did not go out
    bool take_answers();
    void publish_inputs(ecatsim::Images &images);

    std::string interface_;
    std::string on_;  // "EtherCAT on NAME: ", the start of every line the master logs
    const ecatsim::BusDecl &bus_;
    const ecatsim::Layout &layout_;
    int64_t period_ns_;
    RawSocket socket_;
    bool socket_open_ = false;
    FrameBuilder builder_;
    uint8_t index_ = 0;
    uint8_t frame_[kMaxFrame];

    uint32_t in_base_ = 0;  // the inputs' start in the logical space
    std::vector<Chunk> chunks_;
    std::vector<GatewayArea> gateways_;
    std::vector<uint8_t> out_stage_;  // the outputs as the frames carry them
    std::vector<uint8_t> in_stage_;
    std::vector<uint8_t> answered_;  // per chunk this cycle
    uint8_t first_index_ = 0;        // of the chunks in flight
    bool in_flight_ = false;
    uint32_t lost_in_row_ = 0;
    std::atomic<bool> retry_{false};  // an Open asked for a start-up while the link was lost
    std::string last_report_;  // the last fault said
    bool success_said_ = false;
    std::chrono::steady_clock::time_point operational_since_;
};

}  // namespace ecatwire
