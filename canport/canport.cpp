// canport.cpp - the CAN application calls: the channel tags are looked up
// once per process, then every call works by entry.
//
// Decisions:
// - A lookup that finds SlaveCount 0 makes the library ready with no
//   channel, for every later call too (channel calls then answer -2); only a
//   lookup running in another thread, or one that failed, answers -1.
// - A write never changes a frame's identity: a frame that needs an extended
//   identifier is refused (-8) on a channel whose gateway carries standard
//   frames only, where the driver would cut its identifier to 11 bits.
// - A write whose frame was not queued answers -7 and counts in the
//   channel's TxLost tag; any count returned means the frame was queued.
#include "canport.h"

#include "can_frame.h"
#include "kohgapi.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct CAN_CHANNEL_ENTRY {
    uint32_t rx_fifo, tx_fifo, rx_overrun_entry, tx_overrun_entry, device_state;
    uint32_t tx_lost;  // entry of TxLost: writes refused for a full Tx FIFO
    uint32_t format;   // SlaveType: 1 standard frames only, 2 extended
};


constexpr int kNotLookedUp = -1;
constexpr int kLookingUp = INT_MIN;  // another thread is looking the tags up

std::atomic<int> channel_count{kNotLookedUp};
CAN_CHANNEL_ENTRY *channels = nullptr;
uint32_t run_entry = 0, error_entry = 0;

bool entry_of(const char *name, uint32_t *entry)
{
    return KoTagGetProperty(name, "Entry", entry, 4) == 0;
}

int look_up()
{
    uint32_t count = 0;
    if (KoTagRead("SERVICE.ECAT.CAN.SlaveCount", &count, 4) != 0 || count > INT_MAX / 2)
        return kNotLookedUp;
    std::free(channels);
    channels = static_cast<CAN_CHANNEL_ENTRY *>(std::calloc(count > 0 ? count : 1, sizeof(CAN_CHANNEL_ENTRY)));
    if (channels == nullptr)
        return kNotLookedUp;
    if (!entry_of("SERVICE.ECAT.CAN.Run", &run_entry) || !entry_of("SERVICE.ECAT.CAN.Error", &error_entry))
        return kNotLookedUp;
    for (uint32_t n = 0; n < count; ++n) {
        const struct {
            const char *suffix;
            uint32_t *entry;
        } tags[] = {{"TxFrameFIFO", &channels[n].tx_fifo},
                    {"RxFrameFIFO", &channels[n].rx_fifo},
                    {"TxFrameFIFO.Overrun", &channels[n].tx_overrun_entry},
                    {"RxFrameFIFO.Overrun", &channels[n].rx_overrun_entry},
                    {"DeviceStateImage", &channels[n].device_state},
                    {"TxLost", &channels[n].tx_lost}};
        char name[64];
        for (const auto &t : tags) {
            std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02u.%s", n, t.suffix);
            if (!entry_of(name, t.entry))
                return kNotLookedUp;
        }
        std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02u.SlaveType", n);
        if (KoTagRead(name, &channels[n].format, 4) != 0)
            return kNotLookedUp;
    }
    return static_cast<int>(count);
}

// The channel count when ready, else -1; one thread looks up, the others do not wait.
int open_channels()
{
    int seen = kNotLookedUp;
    if (channel_count.compare_exchange_strong(seen, kLookingUp, std::memory_order_acquire)) {
        int found = look_up();
        channel_count.store(found, std::memory_order_release);
        return found;
    }
    return seen >= 0 ? seen : -1;
}

// The channel's entries, or the result to return.
const CAN_CHANNEL_ENTRY *channel_of(int32_t channel, int32_t &result)
{
    int count = open_channels();
    if (count < 0) {
        result = -1;
        return nullptr;
    }
    if (channel < 0 || channel >= count) {
        result = -2;
        return nullptr;
    }
    return &channels[channel];
}

}  // namespace

EXPORT int32_t CAN_Read(int32_t channel, uint32_t *id, uint8_t *extended, uint8_t *rtr, uint32_t *length,
                        uint8_t *data)
{
    int32_t result = 0;
    const CAN_CHANNEL_ENTRY *c = channel_of(channel, result);
    if (c == nullptr)
        return result;
    uint32_t count = 0;
    if (KoTagGetFIFOCount(c->rx_fifo, &count) != 0)
        return -3;
    count &= 0xFFFF;
    if (count == 0)
        return 0;
    CAN_COMM_DATA_EL6751_EXT record;
    if (KoTagReadByEntry(c->rx_fifo, &record, sizeof record) != 0)
        return -3;
    if (id != nullptr)
        *id = record.id & CAN_ID_MASK;
    if (extended != nullptr)
        *extended = (record.id & CAN_ID_EXTENDED) != 0 ? 1 : 0;
    if (rtr != nullptr)
        *rtr = (record.id & CAN_ID_RTR) != 0 ? 1 : 0;
    if (length != nullptr)
        *length = record.length;
    if (data != nullptr)
        std::memcpy(data, record.data, sizeof record.data);
    if (id != nullptr || extended != nullptr || rtr != nullptr || length != nullptr || data != nullptr) {
        uint32_t status = KoTagGetFIFO(c->rx_fifo, nullptr, 0, nullptr);
        if (status != 0 && status != KO_E_FIFO_EMPTY && status != KO_E_FIFO_FULL)
            return -3;
    }
    return static_cast<int32_t>(count);
}

EXPORT int32_t CAN_ReadWait(int32_t channel, uint32_t *id, uint8_t *extended, uint8_t *rtr, uint32_t *length,
                            uint8_t *data, int32_t timeout_ms)
{
    int32_t result = 0;
    const CAN_CHANNEL_ENTRY *c = channel_of(channel, result);
    if (c == nullptr)
        return result;
    uint32_t status = KoTagWaitFIFO(c->rx_fifo, timeout_ms, nullptr);
    if (status == KO_E_FIFO_EMPTY)
        return 0;
    if (status != 0)
        return -3;
    return CAN_Read(channel, id, extended, rtr, length, data);
}

EXPORT int32_t CAN_Write(int32_t channel, uint32_t id, uint8_t extended, uint8_t rtr, int32_t length,
                         const uint8_t *data)
{
    int32_t result = 0;
    const CAN_CHANNEL_ENTRY *c = channel_of(channel, result);
    if (c == nullptr)
        return result;
    if (length < 0 || length > 8)
        return -4;
    if (rtr != 0 && length != 0)
        return -5;
    if (data == nullptr && length != 0)
        return -6;
    id &= CAN_ID_MASK;
    if (c->format == CAN_FORMAT_STANDARD && ((extended & 1u) != 0 || id > CAN_ID_STD_MASK))
        return -8;
    CAN_COMM_DATA_EL6751_EXT record;
    record.length = static_cast<uint16_t>(length);
    record.id = id | (uint32_t{rtr & 1u} << 30) | (uint32_t{extended & 1u} << 31);
    std::memset(record.data, 0, sizeof record.data);
    if (data != nullptr)
        std::memcpy(record.data, data, sizeof record.data);
    uint32_t count = 0;
    uint32_t status = KoTagPutFIFO(c->tx_fifo, &record, sizeof record, &count);
    if (status == KO_E_FIFO_FULL) {
        KoTagAddByEntry(c->tx_lost, 1, nullptr);
        return -7;
    }
    if (status != 0)
        return -3;
    return static_cast<int32_t>(count & 0xFFFF);
}

EXPORT int32_t CAN_GetDeviceState(int32_t channel, uint8_t *state)
{
    int32_t result = 0;
    const CAN_CHANNEL_ENTRY *c = channel_of(channel, result);
    if (c == nullptr)
        return result;
    return state == nullptr ? 0 : static_cast<int32_t>(KoTagReadByEntry(c->device_state, state, 7));
}

EXPORT int32_t CAN_GetOverrunState(int32_t channel, uint8_t *tx_overrun, uint8_t *rx_overrun)
{
    int32_t result = 0;
    const CAN_CHANNEL_ENTRY *c = channel_of(channel, result);
    if (c == nullptr)
        return result;
    uint32_t status = 0;
    if (tx_overrun != nullptr)
        status |= KoTagReadByEntry(c->tx_overrun_entry, tx_overrun, 1);
    if (rx_overrun != nullptr)
        status |= KoTagReadByEntry(c->rx_overrun_entry, rx_overrun, 1);
    return static_cast<int32_t>(status);
}

EXPORT int32_t CAN_GetDriverState(uint8_t *run, uint8_t *error, int32_t *channel_total)
{
    int count = open_channels();
    if (count < 0)
        return -1;
    uint32_t status = 0;
    if (run != nullptr)
        status |= KoTagReadByEntry(run_entry, run, 1);
    if (error != nullptr)
        status |= KoTagReadByEntry(error_entry, error, 1);
    if (channel_total != nullptr)
        *channel_total = count;
    return static_cast<int32_t>(status);
}

EXPORT int32_t CAN_ManualStart(void)
{
    uintptr_t mailbox = 0;
    if (uint32_t status = KoMailboxOpenByService("ECAT", KO_MAILBOX_SEND, &mailbox); status != 0)
        return static_cast<int32_t>(status);
    if (uint32_t status = KoMailboxSend(mailbox, "ECAT", EM_SERVICE_RUN, nullptr, 0); status != 0)
        return static_cast<int32_t>(status);
    return static_cast<int32_t>(KoMailboxClose(mailbox));
}
