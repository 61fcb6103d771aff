// master.h - the EtherCAT master of hiecat.rsl and ehapi.rsl: one per
// process, started by the first Init and shared by both libraries. Its
// segment is either the bus simulated in the process or, with an interface,
// a cable (the wire master); callers cannot tell them apart.
//
// The cycle thread runs on absolute deadlines of the bus period
// (clock_nanosleep, TIMER_ABSTIME) at kernel priority 10 (or the process's
// most urgent priority when its ceiling does not allow 10), so under
// RT_SCHED=fifo it is a SCHED_FIFO thread more urgent than the service's own.
// A wake-up later than a whole period past its deadline loses the periods
// it overslept: they count as lost cycles and the grid skips them.
//
// State: a master starts in init (1). The simulated bus climbs one step
// every 3 cycles, through pre-op (2) and safe-op (4) to operational (8),
// once an Open asks for it; the wire master walks its slaves through the
// same states. Terminals exchange data only while operational. A lost link
// or a dropped state stays until the next Open asks again.
//
// Tags of the node, for bus NAME (fault switches are read every cycle):
//   ECATSIM.NAME.State       u16  master state; property "Service": the service running it
//   ECATSIM.NAME.Cycles      u32  completed cycles
//   ECATSIM.NAME.LostCycles  u32  cycles lost to late wake-ups (and, on a wire, to lost frames)
//   ECATSIM.NAME.PeriodUs    u32  cycle period
// Simulated bus only:
//   ECATSIM.NAME.CAN.BUS.Frames / .Lost  u32  frames over each CAN bus, frames lost
//   ECATSIM.NAME.Fault.LinkLoss     u8   1: no link (state word 0x08, no cycle passes,
//                                        outputs of the I/O terminals fall to 0)
//   ECATSIM.NAME.Fault.DropState    u8   1, 2 or 4: the master drops to that state once
//                                        (the switch returns to 0)
//   ECATSIM.NAME.Fault.SlowCycleUs  u32  extra time every cycle takes
//   ECATSIM.NAME.TERMINAL.Silent    u8   EL6751: 1 = it stops answering the handshake
#pragma once

#include "bus.h"
#include "ecatsim.h"
#include "plant.h"
#include "rt.h"
#include "segment.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ecatsim {

// The ehapi handle of the process's master.
constexpr uint32_t kMasterHandle = 0xEC000001u;

// Makes the segment a master drives: the terminals simulated in the
// process, or the cable of the wire master.
using SegmentMaker = std::function<std::unique_ptr<Segment>(const BusDecl &, const Layout &, int64_t period_ns)>;

class Master {
public:
    // Starts the process's master on bus, or finds it running on that bus.
    // Without make_segment the bus is simulated in the process.
    static uint32_t start(const BusDecl &bus, Master **master, const SegmentMaker &make_segment = nullptr);
    // The running master, or null.
    static Master *running();

    const BusDecl &bus() const { return bus_; }
    // Whether an ehapi caller naming node_name means this master.
    bool answers_to(const char *node_name) const;

    // Asks for the operational state; with wait_esm waits for it.
    uint32_t open(bool wait_esm, uint32_t timeout_ms);
    uint32_t read(uint32_t address, void *buffer, uint32_t length);
    uint32_t write(uint32_t address, const void *buffer, uint32_t length);

    uint32_t wait_cycle(uint32_t timeout_ms);
    void cancel_wait(RTHANDLE thread);

    uint16_t state() const { return s_.state.load(); }
    // Wake-up lateness of the cycle thread so far: counts[i] cycles woke i
    // microseconds after their deadline (the last bucket: that or later).
    static constexpr size_t kLatenessBuckets = 2001;
    void lateness(uint32_t *counts) const;
    uint8_t *input_image() { return input_.data(); }
    uint8_t *output_image() { return output_.data(); }
    uint32_t input_size() const { return layout_.in_size; }
    uint32_t output_size() const { return layout_.out_size; }
    // Fills the out fields of search for the index-th terminal of its identity.
    bool find(EhSlaveSearch &search) const;

private:
    Master(const BusDecl &bus, const SegmentMaker &make_segment);
    void make_tags();
    bool start_thread();
    static void cycle_thread(void *self);
    void run();
    CycleOutcome cycle(int64_t now_ns);
    void publish_device_states();
    void publish();
    void finish_cycle();

    BusDecl bus_;
    Layout layout_;
    int64_t period_ns_ = 1000000;
    std::vector<uint8_t> input_, output_;
    std::mutex image_lock_;  // Read, Write and the segment's exchange
    std::unique_ptr<Segment> segment_;
    MasterState s_;
    std::atomic<uint32_t> lateness_[kLatenessBuckets] = {};

    struct Entries {
        uint32_t state, cycles, lost, period;
    } entries_ = {};
    // Per gateway, in bus order: the channel's DeviceStateImage tag, once found.
    std::vector<uint32_t> state_segments_;

    // Threads in EhWaitForCyclic; cancel marks one of them.
    struct Waiter {
        RTHANDLE thread;
        bool cancelled;
    };
    static constexpr size_t kMaxWaiters = 64;
    std::mutex wait_lock_;
    std::condition_variable cycle_done_;
    Waiter *waiters_[kMaxWaiters] = {};
    uint64_t generation_ = 0;
};

}  // namespace ecatsim
