// can_bus.h - a simulated CAN bus joining gateways: frames go out one at a
// time, lowest identifier first, each taking as long as its bits need at
// the bus's bit rate, and reach every other gateway on the bus.
#pragma once

#include "gateway.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ecatsim {

// Bits on the wire of a data or remote frame: the fixed fields, the data,
// the worst-case stuff bits and the interframe space.
uint32_t frame_bits(const CAN_COMM_DATA_EL6751_EXT &record);

struct CanBus {
    std::string name;
    uint32_t bitrate = 500000;
    std::vector<size_t> gateways;  // indexes of the master's gateways
    int64_t free_ns = 0;           // end of the frame on the wire
    int64_t busy_in_cycle_ns = 0;
    uint32_t frames = 0;           // frames that went over the bus
    uint32_t lost = 0;             // frames a receiving gateway could not keep
    uint32_t frames_entry = 0, lost_entry = 0;

    // Sends every frame that fits before now_ns.
    void step(std::vector<Gateway> &all, int64_t now_ns);
    // Percent of the last period_ns the bus was busy.
    uint8_t load(int64_t period_ns) const;
};

}  // namespace ecatsim
