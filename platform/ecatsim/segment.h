// segment.h - what lies beyond the master: the terminals simulated in this
// process (SimulatedSegment), or a cable to real or simulated slave
// controllers (the wire master). The master keeps the cycle grid, the
// images, the registers, the tags and the waits; a segment moves the data
// and walks the terminals' states.
#pragma once

#include "bus.h"
#include "plant.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace ecatsim {

// The master's state as the segment changes it and other threads read it.
struct MasterState {
    std::atomic<uint16_t> state{1};   // 1 init, 2 pre-op, 4 safe-op, 8 op
    std::atomic<uint16_t> target{1};  // what the last Open asked for
    std::atomic<bool> link_lost{false};
    std::atomic<uint32_t> cycles{0}, lost_cycles{0};
    // Why the last start-up stopped short of what Open asked (a hiecat code),
    // or 0; an Open clears it.
    std::atomic<uint32_t> startup_error{0};
};

struct Images {
    uint8_t *input, *output;
    std::mutex &lock;  // Read and Write take it; the handshake words are atomics besides
};

enum class CycleOutcome {
    Passed,  // a cycle of the bus completed: waiters are woken
    Idle,    // no cycle passed (link lost, or data lost)
    Resync,  // the segment took long on purpose (start-up): the grid restarts from now
};

class Segment {
public:
    virtual ~Segment() = default;
    // Tags of the segment under prefix ("ECATSIM.bus.").
    virtual void make_tags(const std::string &prefix) = 0;
    // An Open asks for operational: false when it must be refused with
    // ECATSIM_E_LINK_DOWN now.
    virtual bool open(MasterState &s) = 0;
    virtual CycleOutcome cycle(MasterState &s, Images &images, int64_t now_ns) = 0;
    // Writes the segment's tags after each cycle.
    virtual void publish() = 0;
};

// The terminals of bus, simulated in this process, with the fault switches
// of the master's tags.
std::unique_ptr<Segment> simulated_segment(const BusDecl &bus, const Layout &layout, int64_t period_ns);

}  // namespace ecatsim
