// can_bus.cpp - arbitration, frame timing and delivery on a simulated CAN bus.
#include "can_bus.h"

#include <algorithm>

namespace ecatsim {
namespace {

// Arbitration order: the 11 base bits first; at the same base a standard
// frame wins over an extended one; then the 18 extension bits.
uint64_t arbitration_key(const CAN_COMM_DATA_EL6751_EXT &record)
{
    bool extended = (record.id & CAN_ID_EXTENDED) != 0;
    uint32_t id = record.id & (extended ? CAN_ID_MASK : CAN_ID_STD_MASK);
    uint32_t base = extended ? id >> 18 : id;
    return (uint64_t{base} << 20) | (extended ? (1u << 19) | (id & 0x3FFFF) : 0);
}

}  // namespace

uint32_t frame_bits(const CAN_COMM_DATA_EL6751_EXT &record)
{
    bool extended = (record.id & CAN_ID_EXTENDED) != 0;
    uint32_t data_bits = (record.id & CAN_ID_RTR) != 0 ? 0 : 8u * std::min<uint16_t>(record.length, 8);
    // SOF to CRC is stuffed: 34 (standard) or 54 (extended) bits plus the data.
    uint32_t stuffed = (extended ? 54 : 34) + data_bits;
    uint32_t stuff_bits = (stuffed - 1) / 4;
    // CRC delimiter, ACK slot and delimiter, EOF (7) and interframe space (3).
    return stuffed + stuff_bits + 13;
}

void CanBus::step(std::vector<Gateway> &all, int64_t now_ns)
{
    busy_in_cycle_ns = 0;
    for (;;) {
        Gateway *sender = nullptr;
        for (size_t index : gateways) {
            Gateway &g = all[index];
            const Frame *head = g.to_bus.front();
            if (g.silent || head == nullptr)
                continue;
            if (sender == nullptr || arbitration_key(head->record) < arbitration_key(sender->to_bus.front()->record))
                sender = &g;
        }
        if (sender == nullptr)
            return;
        const Frame &head = *sender->to_bus.front();
        int64_t start = std::max(free_ns, head.queued_ns);
        int64_t end = start + int64_t{frame_bits(head.record)} * 1000000000 / bitrate;
        if (end > now_ns)
            return;  // still on the wire at the end of this cycle
        Frame frame;
        sender->to_bus.pop(frame);
        busy_in_cycle_ns += end - start;
        free_ns = end;
        ++frames;
        for (size_t index : gateways)
            if (&all[index] != sender && !all[index].receive(frame))
                ++lost;
    }
}

uint8_t CanBus::load(int64_t period_ns) const
{
    return static_cast<uint8_t>(std::min<int64_t>(100, busy_in_cycle_ns * 100 / std::max<int64_t>(period_ns, 1)));
}

}  // namespace ecatsim
