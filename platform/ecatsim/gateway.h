// gateway.h - the terminal side of an EL6751 CAN gateway: its queues of
// frames waiting for the CAN bus and of frames received from it, the counter
// handshake with the host over the process images, and its 7 device-state
// bytes.
//
// The handshake words are read and written with atomic loads and stores:
// the host (the CAN driver) reaches the images directly, between cycles, and
// the counters order the records on both sides (a record is read only after
// the counter that publishes it). So each gateway's areas start at an offset
// divisible by 8.
//
// Device-state bytes (the last 7 of the input area):
//   0  1 while the gateway does not answer (the Silent fault), else 0
//   1  CAN bus load of the last cycle, percent
//   2  frames lost by this gateway, low byte; 3 high byte
//   4  received frames waiting for a batch
//   5  frames waiting to be sent
//   6  low byte of the master's cycle count
#pragma once

#include "can_frame.h"

#include <cstddef>
#include <cstdint>

namespace ecatsim {

struct Frame {
    CAN_COMM_DATA_EL6751_EXT record;  // id with CAN_ID_EXTENDED / CAN_ID_RTR
    int64_t queued_ns;                // when the gateway took it from the host
};

// A fixed ring of frames; nothing is allocated after construction.
class FrameRing {
public:
    static constexpr size_t kCapacity = 64;
    bool push(const Frame &frame);
    bool pop(Frame &frame);
    const Frame *front() const { return count_ == 0 ? nullptr : &items_[head_]; }
    size_t size() const { return count_; }
    size_t room() const { return kCapacity - count_; }

private:
    Frame items_[kCapacity] = {};
    size_t head_ = 0;
    size_t count_ = 0;
};

constexpr uint32_t kBatchRecords = 10;
constexpr uint32_t kDeviceStateBytes = 7;

struct Gateway {
    size_t terminal = 0;  // index in the bus's terminal list
    size_t can_bus = 0;   // index of its CAN bus
    uint8_t format = 0;   // 1 standard, 2 extended, 0 other: no traffic
    uint32_t in_offset = 0, in_size = 0, out_offset = 0, out_size = 0;
    uint32_t silent_entry = 0;  // the Silent fault tag
    bool silent = false;
    FrameRing to_bus;    // taken from the host, waiting for the bus
    FrameRing from_bus;  // received, waiting for a batch to the host
    uint32_t lost = 0;
    uint8_t device_state[kDeviceStateBytes] = {};  // as last presented
    uint32_t state_segment_entry = 0;              // the channel's DeviceStateImage tag, once found

    // One cycle of the handshake on the images (the terminal's own areas).
    void exchange(uint8_t *in, uint8_t *out, int64_t now_ns, uint32_t cycle, uint8_t bus_load);
    // A frame from the bus: kept for the host, refused (an extended frame at
    // a standard gateway), or lost. False when lost.
    bool receive(const Frame &frame);
};

}  // namespace ecatsim
