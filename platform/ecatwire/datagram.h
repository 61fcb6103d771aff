// datagram.h - EtherCAT frames as a list of datagrams: a builder that lays
// datagrams into one Ethernet frame, and a reader that walks a received
// frame and refuses anything whose lengths do not add up.
#pragma once

#include "ethercat.h"

#include <cstddef>
#include <cstdint>

namespace ecatwire {

struct Datagram {
    uint8_t command = 0;
    uint8_t index = 0;
    uint32_t address = 0;  // position or station (low 16 bits) and register (high 16), or logical
    uint16_t length = 0;
    uint8_t *header = nullptr;  // the datagram's 10 header bytes in the frame
    uint8_t *data = nullptr;    // length bytes, then the working counter

    uint16_t adp() const { return static_cast<uint16_t>(address); }
    uint16_t ado() const { return static_cast<uint16_t>(address >> 16); }
    uint16_t working_counter() const { return get16(data + length); }
    void set_working_counter(uint16_t wkc) const { put16(data + length, wkc); }
    void set_adp(uint16_t adp) const { put16(header + 2, adp); }
};

class FrameBuilder {
public:
    // Starts a frame from source (6 bytes) to every station.
    void start(const uint8_t *source);
    // Appends a datagram whose data is zeroed; null when it does not fit.
    uint8_t *add(uint8_t command, uint8_t index, uint32_t address, uint16_t length);
    // Writes the frame header; returns the frame and its size (padded to 60).
    const uint8_t *finish(size_t &size);
    size_t room() const;

private:
    uint8_t frame_[kMaxFrame] = {};
    size_t used_ = 0;
    uint8_t *last_ = nullptr;  // header of the last datagram, to flag "more follow"
};

// Datagrams of an EtherCAT frame (Ethernet header included); false when it
// is no EtherCAT frame or its lengths run past its end.
class FrameReader {
public:
    FrameReader(uint8_t *frame, size_t size) : frame_(frame), size_(size) {}
    bool valid() const;
    // The next datagram; false at the end.
    bool next(Datagram &d);

private:
    uint8_t *frame_;
    size_t size_;
    size_t at_ = kEthernetHeader + kFrameHeader;
    bool more_ = true;
};

}  // namespace ecatwire
