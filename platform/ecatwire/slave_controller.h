// slave_controller.h - one terminal's EtherCAT slave controller as the
// terminal simulator plays it: the registers the master uses, the SII read
// through 0x0500, the AL state machine (SAFEOP is refused when the sync
// managers or FMMUs do not fit the terminal's process data, with the
// standard's AL status code), and process data through the FMMUs into the
// terminal's areas of the simulator's images.
#pragma once

#include "bus.h"
#include "datagram.h"

#include <cstdint>
#include <vector>

namespace ecatwire {

class SlaveController {
public:
    // in and out: the terminal's areas of the images the plant works on.
    SlaveController(const ecatsim::TerminalDecl &terminal, uint8_t *in, uint8_t *out, bool misplaced_sii);

    uint16_t station() const { return get16(&registers_[kRegStation]); }
    uint16_t al_state() const { return get16(&registers_[kRegAlStatus]) & kAlStateMask; }

    // A register datagram addressed to this controller (APxx, FPxx, Bxx);
    // returns what it adds to the working counter.
    uint16_t registers(const Datagram &d);
    // A logical datagram (LRD, LWR, LRW) as it passes this controller.
    uint16_t logical(const Datagram &d);

private:
    void after_write(uint16_t from, uint16_t to);
    void request_state(uint16_t control);
    uint16_t check_process_data() const;
    bool fmmu_covers(uint8_t type, uint16_t start, uint32_t length) const;
    bool sm_fits(uint16_t start, uint32_t length) const;
    uint8_t *process_byte(uint16_t physical);
    void set_status(uint16_t state, uint16_t code);

    const ecatsim::TerminalDecl &terminal_;
    uint8_t *in_, *out_;
    std::vector<uint16_t> sii_;
    std::vector<uint8_t> registers_;
};

// Passes frame through the chain in order, as the controllers on a cable
// would, and turns it back; true when it carried process data.
bool pass_frame(std::vector<SlaveController> &chain, uint8_t *frame, size_t size);

}  // namespace ecatwire
