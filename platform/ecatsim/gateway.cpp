// gateway.cpp - one EL6751 as the terminal sees the host: it takes a batch
// once the host has raised tx_counter (and only when the whole batch fits
// its send queue, so a slow bus holds the host back instead of losing
// frames), and presents a new batch of received frames once the host has
// acknowledged the last one.
#include "gateway.h"

#include <algorithm>
#include <cstring>

namespace ecatsim {
namespace {

constexpr size_t kTxCounter = CAN_IMAGE_TX_COUNTER, kRxAck = CAN_IMAGE_RX_ACK, kTxCount = CAN_IMAGE_TX_COUNT;
constexpr size_t kTxAck = CAN_IMAGE_TX_ACK, kRxCounter = CAN_IMAGE_RX_COUNTER, kRxCount = CAN_IMAGE_RX_COUNT;
constexpr size_t kRecords = 6;

uint16_t load(const uint8_t *area, size_t offset)
{
    return __atomic_load_n(reinterpret_cast<const uint16_t *>(area + offset), __ATOMIC_ACQUIRE);
}

void store(uint8_t *area, size_t offset, uint16_t value)
{
    __atomic_store_n(reinterpret_cast<uint16_t *>(area + offset), value, __ATOMIC_RELEASE);
}

void take_records(const uint8_t *out, uint8_t format, uint16_t count, int64_t now_ns, FrameRing &queue)
{
    for (uint16_t m = 0; m < count; ++m) {
        Frame frame{{}, now_ns};
        CanImageRecordGet(out + kRecords, format == CAN_FORMAT_STANDARD, m, &frame.record);
        frame.record.length = std::min<uint16_t>(frame.record.length, 8);
        queue.push(frame);
    }
}

void place_records(uint8_t *in, uint8_t format, uint16_t count, FrameRing &queue)
{
    for (uint16_t m = 0; m < count; ++m) {
        Frame frame;
        queue.pop(frame);
        CanImageRecordPut(in + kRecords, format == CAN_FORMAT_STANDARD, m, &frame.record);
    }
}

}  // namespace

bool FrameRing::push(const Frame &frame)
{
    if (count_ == kCapacity)
        return false;
    items_[(head_ + count_) % kCapacity] = frame;
    ++count_;
    return true;
}

bool FrameRing::pop(Frame &frame)
{
    if (count_ == 0)
        return false;
    frame = items_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
}

void Gateway::exchange(uint8_t *in, uint8_t *out, int64_t now_ns, uint32_t cycle, uint8_t bus_load)
{
    if (format != 0 && !silent) {
        uint16_t tx_counter = load(out, kTxCounter);
        if (tx_counter != load(in, kTxAck)) {
            uint16_t count = std::min<uint16_t>(load(out, kTxCount), kBatchRecords);
            if (to_bus.room() >= count) {
                take_records(out, format, count, now_ns, to_bus);
                store(in, kTxAck, tx_counter);
            }
        }
        uint16_t rx_counter = load(in, kRxCounter);
        if (rx_counter == load(out, kRxAck) && from_bus.size() > 0) {
            uint16_t count = static_cast<uint16_t>(std::min<size_t>(from_bus.size(), kBatchRecords));
            place_records(in, format, count, from_bus);
            store(in, kRxCount, count);
            store(in, kRxCounter, static_cast<uint16_t>(rx_counter + 1));
        }
    }
    uint8_t state[kDeviceStateBytes] = {
        static_cast<uint8_t>(silent ? 1 : 0),
        bus_load,
        static_cast<uint8_t>(lost & 0xFF),
        static_cast<uint8_t>((lost >> 8) & 0xFF),
        static_cast<uint8_t>(std::min<size_t>(from_bus.size(), 255)),
        static_cast<uint8_t>(std::min<size_t>(to_bus.size(), 255)),
        static_cast<uint8_t>(cycle & 0xFF),
    };
    std::memcpy(device_state, state, sizeof state);
    uint8_t *image = in + in_size - kDeviceStateBytes;
    for (uint32_t i = 0; i < kDeviceStateBytes; ++i)
        __atomic_store_n(image + i, state[i], __ATOMIC_RELAXED);
}

bool Gateway::receive(const Frame &frame)
{
    if (format == CAN_FORMAT_OTHER)
        return true;  // no traffic at a gateway of another image size
    if ((frame.record.id & CAN_ID_EXTENDED) != 0 && format == CAN_FORMAT_STANDARD)
        return true;  // a standard gateway does not take extended frames
    if (!silent && from_bus.push(frame))
        return true;
    ++lost;
    return false;
}

}  // namespace ecatsim
