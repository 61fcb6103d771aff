// can_driver.h - the CAN gateway driver's state: one record per process,
// shared by the entry points (container threads) and the CAN_COMM thread,
// the gateway table, and the EL6751 image layouts.
#pragma once

#include "can_frame.h"
#include "driver_api.h"
#include "ecatsim.h"
#include "rt.h"

#include <cstddef>
#include <cstdint>

constexpr size_t kCanTagNameSize = 52;
constexpr uint32_t kCanFifoDepth = 1024;
constexpr uint32_t kBatchSlots = 10;
constexpr const char *kCanSource = "canbridge";

#pragma pack(push, 1)
// The output image of one gateway (host to terminal), both formats.
struct CanImageOutHead {
    uint16_t tx_counter;
    uint16_t rx_ack;
    uint16_t tx_count;
};
// The input image of one gateway (terminal to host).
struct CanImageInHead {
    uint16_t tx_ack;
    uint16_t rx_counter;
    uint16_t rx_count;
};
struct CAN_COMM_IMAGE_EL6751_OUT {
    CanImageOutHead head;
    union {
        CAN_COMM_DATA_EL6751_STD standard[kBatchSlots];
        CAN_COMM_DATA_EL6751_EXT extended[kBatchSlots];
    } frames;
};
struct CAN_COMM_IMAGE_EL6751_IN {
    CanImageInHead head;
    union {
        CAN_COMM_DATA_EL6751_STD standard[kBatchSlots];
        CAN_COMM_DATA_EL6751_EXT extended[kBatchSlots];
    } frames;
};

// One gateway: entries packed without gaps.
struct CAN_SLAVE_ENTRY {
    uint8_t format;  // 0 unsupported image size, 1 standard, 2 extended
    uint32_t slave_index;
    CAN_COMM_IMAGE_EL6751_IN *in_image;
    CAN_COMM_IMAGE_EL6751_OUT *out_image;
    uint32_t rx_fifo, tx_fifo;
    uint32_t rx_overrun_entry, tx_overrun_entry;
    uint8_t rx_overrun, tx_overrun;
    uint32_t rx_lost_entry;  // RxLost: records taken from the gateway that the full Rx FIFO refused
    uint32_t rx_lost;
};
#pragma pack(pop)
static_assert(sizeof(CanImageOutHead) == 6 && sizeof(CanImageInHead) == 6, "handshake words at 0, 2 and 4");
static_assert(offsetof(CAN_COMM_IMAGE_EL6751_OUT, frames) == 6, "records at offset 6");

enum CanName {
    kTxCountTag, kRxCountTag, kStatusTag, kErrorTag, kRunTag, kLiveTag, kModeTag, kPriorityTag, kOverrunCtrlTag,
    kNodeNameTag, kConnectedTag, kDisconnectsTag, kCanNameCount
};

// The ehapi functions, bound at load in this order.
struct EhApi {
    EhGetEhNodeStatusFn get_node_status;
    EhOpenFn open;
    EhCloseFn close;
    EhFindSlaveFn find_slave;
    EhGetViosInAddressFn vios_in;
    EhGetViosOutAddressFn vios_out;
    EhGetStateFn get_state;
    EhReadODFn read_od;
    EhWriteODFn write_od;
    EhWaitForCyclicFn wait;
    EhCancelWaitForCyclicFn cancel_wait;
};

struct CanDriverState {
    char names[kCanNameCount][kCanTagNameSize];
    RTHANDLE lower_module;
    RTHANDLE ehapi_module;
    RTHANDLE thread;
    uint32_t tx_total;
    uint32_t rx_total;
    uint8_t spare;
    uint8_t status, error, run;
    uint32_t live;
    uint8_t mode, priority, overrun_ctrl;
    uint8_t stop_request;  // written by HiClose, read by the thread
    uint8_t finished;      // written by the thread on every way it ends
    uint8_t connected;     // written by HiConnectChk, read by the thread
    char node_name[513];
    DriverEntryPoints lower;
    EhApi eh;
    uint32_t eh_handle;
    int slave_count;
    CAN_SLAVE_ENTRY *slaves;
    // The thread's view of the link: lost since it last saw it up, and
    // whether Error was raised by that loss (a link that is back clears it).
    uint8_t link_lost, error_from_link;
    uint32_t disconnects;
    // The counters a pass writes, by entry: no name is looked up per cycle.
    uint32_t live_entry, rx_count_entry, tx_count_entry;
};

// The master's statuses count in their low 16 bits only.
inline uint32_t eh_status(uint32_t status)
{
    return status & 0xFFFF;
}

extern CanDriverState g_can;

// The single bytes shared with the thread, whole and without a lock.
inline uint8_t can_flag(const uint8_t &flag)
{
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
}
inline void set_can_flag(uint8_t &flag, uint8_t value)
{
    __atomic_store_n(&flag, value, __ATOMIC_RELEASE);
}

// binding.cpp
bool BindLowerLibraries(CanDriverState *s);
// config.cpp
void FormatCanTagNames(CanDriverState *s);
void ReadCanConfig(CanDriverState *s);
void CreateCanStatusTags(CanDriverState *s);
void WriteCanByte(CanDriverState *s, CanName tag, uint8_t &field, uint8_t value);
// discovery.cpp: the thread routine; discovery, then the exchange.
void CanCommThread(void *param);
// exchange.cpp: from the first wait for operational to the thread's end.
void RunCanExchange(CanDriverState *s);
void EndCanThread(CanDriverState *s);
