// master.cpp - the simulated master: image layout, the cycle thread, the
// state machine, fault switches, the published tags and the cycle wait.
#include "master.h"

#include "kohgapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace ecatsim {
namespace {

std::mutex g_start_lock;
std::atomic<Master *> g_master{nullptr};

constexpr uint32_t kClimbCycles = 3;
constexpr BYTE kCyclePriority = 10;
constexpr DWORD kCycleStack = 256 * 1024;
constexpr uint32_t kDefaultEsmTimeoutMs = 5000;

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleep_until(int64_t deadline_ns)
{
    timespec ts{static_cast<time_t>(deadline_ns / 1000000000), static_cast<long>(deadline_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

uint32_t align8(uint32_t offset)
{
    return (offset + 7u) & ~7u;
}

uint32_t make_tag(const std::string &name, uint32_t type, const char *description)
{
    KoTagCreateEx(name.c_str(), type, "", description);
    uint32_t entry = 0;
    KoTagGetProperty(name.c_str(), "Entry", &entry, 4);
    return entry;
}

uint8_t read_switch(uint32_t entry)
{
    uint8_t value = 0;
    KoTagReadByEntry(entry, &value, 1);
    return value;
}

// The CAN driver publishes gateway k's device-state bytes as the segment
// "SERVICE.ECAT.CAN.<k>.DeviceStateImage" with the source "ECAT/<offset>";
// the master owns that segment space and keeps the segment current. Until
// the segment exists it looks for it every kSegmentSearchCycles cycles.
constexpr uint32_t kSegmentSearchCycles = 100;

uint32_t state_segment(size_t channel, const Gateway &g)
{
    char name[64], source[32], expected[32];
    std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02zu.DeviceStateImage", channel);
    std::snprintf(expected, sizeof expected, "ECAT/%u", g.in_offset + g.in_size - kDeviceStateBytes);
    uint32_t entry = 0;
    if (KoTagGetProperty(name, "Source", source, sizeof source) != KO_OK || std::strcmp(source, expected) != 0 ||
        KoTagGetProperty(name, "Entry", &entry, 4) != KO_OK)
        return 0;
    return entry;
}

int16_t signal_value(const Signal &s, double t_ms)
{
    double phase = std::fmod(t_ms, s.period_ms) / s.period_ms;
    double value = s.offset;
    if (s.shape == Signal::Sine)
        value += s.amplitude * std::sin(2 * M_PI * phase);
    else if (s.shape == Signal::Ramp)
        value += s.amplitude * phase;
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768l, 32767l));
}

void put_u32(uint8_t *at, uint32_t value)
{
    std::memcpy(at, &value, 4);
}

}  // namespace

uint32_t Master::start(const BusDecl &bus, Master **master)
{
    std::lock_guard<std::mutex> lock(g_start_lock);
    if (Master *running = g_master.load()) {
        if (running->bus_.name != bus.name)
            return ECATSIM_E_OTHER_BUS;
        *master = running;
        return ECATSIM_OK;
    }
    auto *created = new Master(bus);
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

Master::Master(const BusDecl &bus) : bus_(bus), period_ns_(int64_t{bus.period_us} * 1000)
{
    lay_out();
    make_tags();
}

// Terminals in bus order; a gateway's areas start at an offset divisible by 8.
void Master::lay_out()
{
    uint32_t in = 0, out = 0;
    for (const CanBusDecl &c : bus_.can_buses) {
        CanBus b;
        b.name = c.name;
        b.bitrate = c.bitrate;
        can_buses_.push_back(b);
    }
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        const TerminalDecl &t = bus_.terminals[i];
        if (t.kind == Kind::Gateway) {
            in = align8(in);
            out = align8(out);
            Gateway g;
            g.terminal = i;
            g.format = t.format;
            g.in_offset = in;
            g.in_size = t.in_size;
            g.out_offset = out;
            g.out_size = t.out_size;
            for (size_t b = 0; b < can_buses_.size(); ++b)
                if (can_buses_[b].name == t.can_bus) {
                    g.can_bus = b;
                    can_buses_[b].gateways.push_back(gateways_.size());
                }
            gateways_.push_back(std::move(g));
        }
        places_.push_back({in, out, static_cast<uint32_t>(1001 + i)});
        in += t.in_size;
        out += t.out_size;
    }
    input_.assign(in, 0);
    output_.assign(out, 0);
    for (const TerminalDecl &t : bus_.terminals) {
        size_t wired = SIZE_MAX;
        for (size_t w = 0; w < bus_.terminals.size(); ++w)
            if (!t.wired_to.empty() && bus_.terminals[w].name == t.wired_to)
                wired = w;
        wired_.push_back(wired);
    }
}

// The published tags and the fault switches, which a new master clears.
void Master::make_tags()
{
    std::string p = "ECATSIM." + bus_.name + ".";
    entries_.state = make_tag(p + "State", KO_TYPE_U16, "EtherCAT master state (1 init, 2 pre-op, 4 safe-op, 8 op)");
    KoTagSetProperty((p + "State").c_str(), "Service", KoServiceName);
    entries_.cycles = make_tag(p + "Cycles", KO_TYPE_U32, "EtherCAT cycles completed");
    entries_.lost = make_tag(p + "LostCycles", KO_TYPE_U32, "EtherCAT cycles lost to late wake-ups");
    entries_.period = make_tag(p + "PeriodUs", KO_TYPE_U32, "EtherCAT cycle period, microseconds");
    entries_.link_loss = make_tag(p + "Fault.LinkLoss", KO_TYPE_U8, "fault switch: 1 = the link is lost");
    entries_.drop_state = make_tag(p + "Fault.DropState", KO_TYPE_U8, "fault switch: drop the master to state 1, 2 or 4");
    entries_.slow_cycle = make_tag(p + "Fault.SlowCycleUs", KO_TYPE_U32, "fault switch: extra time of every cycle, us");
    uint32_t zero = 0, period_us = bus_.period_us;
    for (uint32_t entry : {entries_.link_loss, entries_.drop_state})
        KoTagWriteByEntry(entry, &zero, 1);
    KoTagWriteByEntry(entries_.slow_cycle, &zero, 4);
    KoTagWriteByEntry(entries_.period, &period_us, 4);
    uint16_t state = ECATSIM_STATE_INIT;
    KoTagWriteByEntry(entries_.state, &state, 2);
    for (Gateway &g : gateways_) {
        g.silent_entry = make_tag(p + bus_.terminals[g.terminal].name + ".Silent", KO_TYPE_U8,
                                  "fault switch: 1 = the gateway stops answering");
        KoTagWriteByEntry(g.silent_entry, &zero, 1);
    }
    for (CanBus &b : can_buses_) {
        b.frames_entry = make_tag(p + "CAN." + b.name + ".Frames", KO_TYPE_U32, "frames over the CAN bus");
        b.lost_entry = make_tag(p + "CAN." + b.name + ".Lost", KO_TYPE_U32, "frames a gateway could not keep");
    }
    char line[160];
    std::snprintf(line, sizeof line, "bus %s: period %u us, %zu terminals, input image %u bytes, output image %u bytes",
                  bus_.name.c_str(), bus_.period_us, bus_.terminals.size(), input_size(), output_size());
    KoLogWrite("ecatsim", "INF", line);
    for (size_t i = 0; i < bus_.terminals.size(); ++i) {
        const TerminalDecl &t = bus_.terminals[i];
        std::snprintf(line, sizeof line, "  slave %zu %s %s: in %u+%u, out %u+%u", i, t.name.c_str(), t.type.c_str(),
                      places_[i].in_offset, t.in_size, places_[i].out_offset, t.out_size);
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
            lost_cycles_.fetch_add(static_cast<uint32_t>(missed));
            deadline += missed * period_ns_;
        }
        cycle(now);
    }
}

void Master::cycle(int64_t now_ns_at_start)
{
    apply_faults();
    if (!link_lost_.load()) {
        step_state();
        exchange(now_ns_at_start);
        uint32_t slow_us = 0;
        KoTagReadByEntry(entries_.slow_cycle, &slow_us, 4);
        if (slow_us > 0)
            sleep_until(now_ns() + int64_t{slow_us} * 1000);
        cycles_.fetch_add(1);
    }
    publish();
    if (!link_lost_.load())
        finish_cycle();
}

void Master::apply_faults()
{
    bool link_lost = read_switch(entries_.link_loss) != 0;
    if (link_lost && !link_lost_.load()) {
        state_.store(ECATSIM_STATE_INIT);
        target_.store(ECATSIM_STATE_INIT);
        climb_ = 0;
        std::lock_guard<std::mutex> lock(image_lock_);
        for (size_t i = 0; i < bus_.terminals.size(); ++i)
            if (bus_.terminals[i].kind == Kind::DigitalOut)
                std::memset(output_.data() + places_[i].out_offset, 0, bus_.terminals[i].out_size);
    }
    link_lost_.store(link_lost);
    if (uint8_t drop = read_switch(entries_.drop_state); drop != 0) {
        uint16_t to = drop >= ECATSIM_STATE_SAFEOP ? ECATSIM_STATE_SAFEOP
                                                   : drop >= ECATSIM_STATE_PREOP ? ECATSIM_STATE_PREOP
                                                                                 : ECATSIM_STATE_INIT;
        state_.store(std::min(state_.load(), to));
        target_.store(state_.load());
        climb_ = 0;
        uint8_t zero = 0;
        KoTagWriteByEntry(entries_.drop_state, &zero, 1);
    }
    for (Gateway &g : gateways_)
        g.silent = read_switch(g.silent_entry) != 0;
}

void Master::step_state()
{
    uint16_t state = state_.load();
    if (state >= target_.load() || ++climb_ < kClimbCycles)
        return;
    climb_ = 0;
    state_.store(static_cast<uint16_t>(state * 2));
}

void Master::exchange(int64_t now)
{
    if (state_.load() != ECATSIM_STATE_OP)
        return;
    double t_ms = static_cast<double>(cycles_.load()) * static_cast<double>(period_ns_) / 1e6;
    {
        std::lock_guard<std::mutex> lock(image_lock_);
        for (size_t i = 0; i < bus_.terminals.size(); ++i) {
            const TerminalDecl &t = bus_.terminals[i];
            uint8_t *in = input_.data() + places_[i].in_offset;
            if (size_t w = wired_[i]; w != SIZE_MAX) {
                std::memcpy(in, output_.data() + places_[w].out_offset, std::min(t.in_size, bus_.terminals[w].out_size));
            } else if (t.kind == Kind::AnalogIn) {
                for (size_t c = 0; c < t.signals.size(); ++c) {
                    int16_t value = signal_value(t.signals[c], t_ms);
                    std::memcpy(in + 2 * c, &value, 2);
                }
            }
        }
    }
    // Frames that finished on the wire reach their gateways first, so that a
    // gateway presents them in this same cycle.
    for (CanBus &b : can_buses_)
        b.step(gateways_, now);
    for (size_t k = 0; k < gateways_.size(); ++k) {
        Gateway &g = gateways_[k];
        g.exchange(input_.data() + g.in_offset, output_.data() + g.out_offset, now, cycles_.load(),
                   can_buses_[g.can_bus].load(period_ns_));
        if (g.state_segment_entry == 0 && cycles_.load() % kSegmentSearchCycles == 0)
            g.state_segment_entry = state_segment(k, g);
        if (g.state_segment_entry != 0)
            KoTagWriteByEntry(g.state_segment_entry, g.device_state, kDeviceStateBytes);
    }
}

void Master::publish()
{
    uint32_t cycles = cycles_.load(), lost = lost_cycles_.load();
    uint16_t state = state_.load();
    KoTagWriteByEntry(entries_.cycles, &cycles, 4);
    KoTagWriteByEntry(entries_.lost, &lost, 4);
    KoTagWriteByEntry(entries_.state, &state, 2);
    for (CanBus &b : can_buses_) {
        KoTagWriteByEntry(b.frames_entry, &b.frames, 4);
        KoTagWriteByEntry(b.lost_entry, &b.lost, 4);
    }
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
    if (link_lost_.load())
        return ECATSIM_E_LINK_DOWN;
    target_.store(ECATSIM_STATE_OP);
    if (!wait_esm)
        return ECATSIM_OK;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(timeout_ms != 0 ? timeout_ms : kDefaultEsmTimeoutMs);
    std::unique_lock<std::mutex> lock(wait_lock_);
    while (state_.load() != ECATSIM_STATE_OP)
        if (cycle_done_.wait_until(lock, deadline) == std::cv_status::timeout && state_.load() != ECATSIM_STATE_OP)
            return ECATSIM_E_ESM_TIMEOUT;
    return ECATSIM_OK;
}

uint32_t Master::read(uint32_t address, void *buffer, uint32_t length)
{
    uint64_t end = uint64_t{address} + length;
    if (address >= ECATSIM_REGISTERS) {
        if (end > ECATSIM_REG_END)
            return ECATSIM_E_ADDRESS;
        uint8_t registers[ECATSIM_REG_END - ECATSIM_REGISTERS] = {};
        uint16_t state = state_.load();
        std::memcpy(registers, &state, 2);
        put_u32(registers + (ECATSIM_REG_CYCLES - ECATSIM_REGISTERS), cycles_.load());
        put_u32(registers + (ECATSIM_REG_LOST - ECATSIM_REGISTERS), lost_cycles_.load());
        put_u32(registers + (ECATSIM_REG_PERIOD_US - ECATSIM_REGISTERS), bus_.period_us);
        uint32_t word = ECATSIM_LINK_RUNNING | (state != ECATSIM_STATE_OP ? ECATSIM_LINK_NOT_OP : 0) |
                        (link_lost_.load() ? ECATSIM_LINK_LOST : 0);
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
        search.in_offset = places_[i].in_offset;
        search.in_size = t.in_size;
        search.out_offset = places_[i].out_offset;
        search.out_size = t.out_size;
        search.station = places_[i].station;
        search.slave_index = static_cast<uint32_t>(i);
        return true;
    }
    return false;
}

}  // namespace ecatsim
