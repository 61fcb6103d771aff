// plant.h - the terminals' own behaviour on the process images: digital
// inputs wired to outputs, analog signal generators, EL6751 gateways and the
// CAN buses joining them. The simulated master runs it inside its cycle; the
// terminal simulator at the far end of a cable runs it once per frame of
// process data. Both lay the images out with lay_out(), so a bus file means
// the same offsets on either side.
#pragma once

#include "bus.h"
#include "can_bus.h"
#include "gateway.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ecatsim {

struct TerminalPlace {
    uint32_t in_offset = 0, out_offset = 0;
    uint32_t station = 0;  // 1001 for the first terminal
};

struct Layout {
    std::vector<TerminalPlace> places;  // per terminal, in bus order
    uint32_t in_size = 0, out_size = 0;
};

// Terminals in bus order; a gateway's areas start at an offset divisible by 8.
Layout lay_out(const std::vector<TerminalDecl> &terminals);

class Plant {
public:
    Plant(const BusDecl &bus, const Layout &layout);

    // Tags under prefix ("ECATSIM.bus."): each gateway's Silent switch
    // (cleared) and each CAN bus's Frames and Lost counters.
    void make_tags(const std::string &prefix);
    // Reads the Silent switches.
    void read_switches();
    // One cycle: the I/O terminals' inputs (under io_lock when given), then
    // the CAN buses and the gateways' handshakes. t_ms drives the signals.
    void exchange(uint8_t *in, uint8_t *out, double t_ms, int64_t now_ns, uint32_t cycle, int64_t period_ns,
                  std::mutex *io_lock);
    // The digital outputs fall to 0, as terminals do when the bus stops.
    void outputs_off(uint8_t *out) const;
    void publish() const;

private:
    const BusDecl &bus_;
    const Layout &layout_;
    std::vector<size_t> wired_;  // per terminal: the output terminal a digital input reads, or SIZE_MAX
    std::vector<Gateway> gateways_;
    std::vector<CanBus> can_buses_;
};

}  // namespace ecatsim
