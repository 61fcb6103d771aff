// master.cpp - the master's cycle grid, the published tags, the registers
// and images of Read and Write, and the cycle wait. What moves on the bus
// each cycle is the segment's (simulated_segment.cpp, or the wire master).
#include "master.h"

#include "kohgapi.h"
#include "monotonic.h"
#include "tag_entry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace ecatsim {
namespace {

std::mutex g_start_lock;
std::atomic<Master *> g_master{nullptr};

constexpr BYTE kCyclePriority = 10;
constexpr DWORD kCycleStack = 256 * 1024;
constexpr uint32_t kDefaultEsmTimeoutMs = 5000;

// The CAN driver publishes gateway k's device-state bytes as the segment
// "SERVICE.ECAT.CAN.<k>.DeviceStateImage" with the source "ECAT/<offset>";
// the master owns that segment space and keeps the segment current. Until
// the segment exists it looks for it every kSegmentSearchCycles cycles.
constexpr uint32_t kSegmentSearchCycles = 100;

uint32_t state_segment(size_t channel, uint32_t state_offset)
{
    char name[64], source[32], expected[32];
    std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02zu.DeviceStateImage", channel);
    std::snprintf(expected, sizeof expected, "ECAT/%u", state_offset);
    uint32_t entry = 0;
    if (KoTagGetProperty(name, "Source", source, sizeof source) != KO_OK || std::strcmp(source, expected) != 0 ||
        KoTagGetProperty(name, "Entry", &entry, 4) != KO_OK)
        return 0;
    return entry;
}

void put_u32(uint8_t *at, uint32_t value)
{
    std::memcpy(at, &value, 4);
}

}  // namespace

uint32_t Master::start(const BusDecl &bus, Master **master, const SegmentMaker &make_segment)
{
    std::lock_guard<std::mutex> lock(g_start_lock);
    if (Master *running = g_master.load()) {
        if (running->bus_.name != bus.name)
            return ECATSIM_E_OTHER_BUS;
        *master = running;
        return ECATSIM_OK;
    }
    auto *created = new Master(bus, make_segment ? make_segment : SegmentMaker(simulated_segment));
    if (!created->start_thread()) {
        delete created;
        return ECATSIM_E_START;
    }
    g_master.store(created);
    *master = created;
    return ECATSIM_OK;
}

Master *Master::running()
{
    return g_master.load();
}

Master::Master(const BusDecl &bus, const SegmentMaker &make_segment)
    : bus_(bus), layout_(lay_out(bus_.terminals)), period_ns_(int64_t{bus.period_us} * 1000),
      input_(layout_.in_size, 0), output_(layout_.out_size, 0), segment_(make_segment(bus_, layout_, period_ns_))
{
    for (const TerminalDecl &t : bus_.terminals)
        if (t.kind == Kind::Gateway)
            state_segments_.push_back(0);
    make_tags();
}

// The published tags; the segment's own (fault switches, which a new
// master clears) beside them.
void Master::make_tags()
{
    std::string p = "ECATSIM." + bus_.name + ".";
    entries_.state = make_tag(p + "State", KO_TYPE_U16, "EtherCAT master state (1 init, 2 pre-op, 4 safe-op, 8 op)");
    KoTagSetProperty((p + "State").c_str(), "Service", KoServiceName);
    entries_.cycles = make_tag(p + "Cycles", KO_TYPE_U32, "EtherCAT cycles completed");
    entries_.lost = make_tag(p + "LostCycles", KO_TYPE_U32, "EtherCAT cycles lost to late wake-ups");
    entries_.period = make_tag(p + "PeriodUs", KO_TYPE_U32, "EtherCAT cycle period, microseconds");
    uint32_t period_us = bus_.period_us;
    KoTagWriteByEntry(entries_.period, &period_us, 4);
    uint16_t state = ECATSIM_STATE_INIT;
    KoTagWriteByEntry(entries_.state, &state, 2);
    segment_->make_tags(p);
    char line[160];
    std::snprintf(line, sizeof line, "bus %s: period %u us, %zu terminals, input image %u bytes, output image %u bytes",
                  bus_.name.c_str(), bus_.period_us, bus_.terminals.size(), input_size(), output_size());
    KoLogWrite("ecatsim", "INF", line);
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        const TerminalDecl &t = bus_.terminals[i];
        std::snprintf(line, sizeof line, "  slave %zu %s %s: in %u+%u, out %u+%u", i, t.name.c_str(), t.type.c_str(),
                      layout_.places[i].in_offset, t.in_size, layout_.places[i].out_offset, t.out_size);
        KoLogWrite("ecatsim", "INF", line);
    }
}

bool Master::start_thread()
{
    // Priority 10, or the process's most urgent one (0) when its ceiling is below that.
    for (BYTE priority : {kCyclePriority, BYTE{0}})
        if (CreateRtThread(priority, &Master::cycle_thread, kCycleStack, this) != BAD_RTHANDLE)
            return true;
    return false;
}

void Master::cycle_thread(void *self)
{
    static_cast<Master *>(self)->run();
}

void Master::run()
{
    int64_t deadline = now_ns();
    for (;;) {
        deadline += period_ns_;
        sleep_until(deadline);
        int64_t now = now_ns();
        int64_t late_us = std::max<int64_t>(0, (now - deadline) / 1000);
        lateness_[std::min<int64_t>(late_us, kLatenessBuckets - 1)].fetch_add(1, std::memory_order_relaxed);
        if (now - deadline >= period_ns_) {
            int64_t missed = (now - deadline) / period_ns_;
            s_.lost_cycles.fetch_add(static_cast<uint32_t>(missed));
            deadline += missed * period_ns_;
        }
        if (cycle(now) == CycleOutcome::Resync)
            deadline = now_ns();
    }
}

CycleOutcome Master::cycle(int64_t now)
{
    Images images{input_.data(), output_.data(), image_lock_};
    CycleOutcome outcome = segment_->cycle(s_, images, now);
    if (outcome == CycleOutcome::Passed && s_.state.load() == ECATSIM_STATE_OP)
        publish_device_states();
    publish();
    if (outcome == CycleOutcome::Passed)
        finish_cycle();
    return outcome;
}

void Master::publish_device_states()
{
    uint32_t cycles = s_.cycles.load();
    size_t k = 0;
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        const TerminalDecl &t = bus_.terminals[i];
        if (t.kind != Kind::Gateway)
            continue;
        uint32_t offset = layout_.places[i].in_offset + t.in_size - kDeviceStateBytes;
        uint32_t &entry = state_segments_[k];
        if (entry == 0 && cycles % kSegmentSearchCycles == 0)
            entry = state_segment(k, offset);
        if (entry != 0) {
            uint8_t bytes[kDeviceStateBytes];
            for (uint32_t b = 0; b < kDeviceStateBytes; ++b)
                bytes[b] = __atomic_load_n(&input_[offset + b], __ATOMIC_RELAXED);
            KoTagWriteByEntry(entry, bytes, kDeviceStateBytes);
        }
        ++k;
    }
}

void Master::publish()
{
    uint32_t cycles = s_.cycles.load(), lost = s_.lost_cycles.load();
    uint16_t state = s_.state.load();
    KoTagWriteByEntry(entries_.cycles, &cycles, 4);
    KoTagWriteByEntry(entries_.lost, &lost, 4);
    KoTagWriteByEntry(entries_.state, &state, 2);
    segment_->publish();
}

void Master::finish_cycle()
{
    {
        std::lock_guard<std::mutex> lock(wait_lock_);
        ++generation_;
    }
    cycle_done_.notify_all();
}

void Master::lateness(uint32_t *counts) const
{
    for (size_t i = 0; i < kLatenessBuckets; ++i)
        counts[i] = lateness_[i].load(std::memory_order_relaxed);
}

bool Master::answers_to(const char *node_name) const
{
    return node_name == nullptr || node_name[0] == '\0' || bus_.name == node_name ||
           std::strcmp(RtNodeName(), node_name) == 0;
}

uint32_t Master::open(bool wait_esm, uint32_t timeout_ms)
{
    if (!segment_->open(s_))
        return ECATSIM_E_LINK_DOWN;
    if (!wait_esm)
        return ECATSIM_OK;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(timeout_ms != 0 ? timeout_ms : kDefaultEsmTimeoutMs);
    std::unique_lock<std::mutex> lock(wait_lock_);
    while (s_.state.load() != ECATSIM_STATE_OP) {
        if (uint32_t error = s_.startup_error.load(); error != ECATSIM_OK)
            return error;  // the start-up failed; the node log says why
        auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        cycle_done_.wait_until(lock, slice);
        if (std::chrono::steady_clock::now() >= deadline && s_.state.load() != ECATSIM_STATE_OP)
            return ECATSIM_E_ESM_TIMEOUT;
    }
    return ECATSIM_OK;
}

uint32_t Master::read(uint32_t address, void *buffer, uint32_t length)
{
    uint64_t end = uint64_t{address} + length;
    if (address >= ECATSIM_REGISTERS) {
        if (end > ECATSIM_REG_END)
            return ECATSIM_E_ADDRESS;
        uint8_t registers[ECATSIM_REG_END - ECATSIM_REGISTERS] = {};
        uint16_t state = s_.state.load();
        std::memcpy(registers, &state, 2);
        put_u32(registers + (ECATSIM_REG_CYCLES - ECATSIM_REGISTERS), s_.cycles.load());
        put_u32(registers + (ECATSIM_REG_LOST - ECATSIM_REGISTERS), s_.lost_cycles.load());
        put_u32(registers + (ECATSIM_REG_PERIOD_US - ECATSIM_REGISTERS), bus_.period_us);
        uint32_t word = ECATSIM_LINK_RUNNING | (state != ECATSIM_STATE_OP ? ECATSIM_LINK_NOT_OP : 0) |
                        (s_.link_lost.load() ? ECATSIM_LINK_LOST : 0);
        put_u32(registers + (ECATSIM_REG_STATE_WORD - ECATSIM_REGISTERS), word);
        std::memcpy(buffer, registers + (address - ECATSIM_REGISTERS), length);
        return ECATSIM_OK;
    }
    bool readback = address >= ECATSIM_OUTPUT_READBACK;
    const std::vector<uint8_t> &image = readback ? output_ : input_;
    uint32_t offset = readback ? address - ECATSIM_OUTPUT_READBACK : address;
    if (uint64_t{offset} + length > image.size())
        return ECATSIM_E_ADDRESS;
    std::lock_guard<std::mutex> lock(image_lock_);
    std::memcpy(buffer, image.data() + offset, length);
    return ECATSIM_OK;
}

uint32_t Master::write(uint32_t address, const void *buffer, uint32_t length)
{
    if (address >= ECATSIM_OUTPUT_READBACK)
        return uint64_t{address} + length <= ECATSIM_REG_END ? ECATSIM_E_READ_ONLY : ECATSIM_E_ADDRESS;
    if (uint64_t{address} + length > output_.size())
        return ECATSIM_E_ADDRESS;
    std::lock_guard<std::mutex> lock(image_lock_);
    std::memcpy(output_.data() + address, buffer, length);
    return ECATSIM_OK;
}

uint32_t Master::wait_cycle(uint32_t timeout_ms)
{
    Waiter self{GetRtThreadHandles(THIS_THREAD), false};
    std::unique_lock<std::mutex> lock(wait_lock_);
    size_t slot = 0;
    while (slot < kMaxWaiters && waiters_[slot] != nullptr)
        ++slot;
    if (slot < kMaxWaiters)
        waiters_[slot] = &self;
    uint64_t start = generation_;
    auto done = [&] { return generation_ != start || self.cancelled; };
    if (timeout_ms == EH_WAIT_FOREVER)
        cycle_done_.wait(lock, done);
    else
        cycle_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
    if (slot < kMaxWaiters)
        waiters_[slot] = nullptr;
    if (self.cancelled)
        return EH_E_CANCELLED;
    return generation_ != start ? EH_OK : EH_E_TIMEOUT;
}

void Master::cancel_wait(RTHANDLE thread)
{
    {
        std::lock_guard<std::mutex> lock(wait_lock_);
        for (Waiter *w : waiters_)
            if (w != nullptr && w->thread == thread)
                w->cancelled = true;
    }
    cycle_done_.notify_all();
}

bool Master::find(EhSlaveSearch &search) const
{
    uint32_t seen = 0;
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        const TerminalDecl &t = bus_.terminals[i];
        if (search.vendor != kVendor || search.product_code != t.product_code || seen++ != search.index)
            continue;
        std::memset(search.name, 0, sizeof search.name);
        std::memcpy(search.name, t.name.data(), std::min(t.name.size(), sizeof search.name - 1));
        search.revision = 0x00100000;
        search.in_offset = layout_.places[i].in_offset;
        search.in_size = t.in_size;
        search.out_offset = layout_.places[i].out_offset;
        search.out_size = t.out_size;
        search.station = layout_.places[i].station;
        search.slave_index = static_cast<uint32_t>(i);
        return true;
    }
    return false;
}

}  // namespace ecatsim
