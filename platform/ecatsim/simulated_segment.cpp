// simulated_segment.cpp - the terminals of a bus simulated inside the
// master's process: the state climbs one step every 3 cycles toward what
// Open asked for, the plant runs while operational, and the fault switches
// (LinkLoss, DropState, SlowCycleUs) are read every cycle.
#include "ecatsim.h"
#include "monotonic.h"
#include "segment.h"
#include "tag_entry.h"

#include <algorithm>

namespace ecatsim {
namespace {

constexpr uint32_t kClimbCycles = 3;

uint8_t read_switch(uint32_t entry)
{
    uint8_t value = 0;
    KoTagReadByEntry(entry, &value, 1);
    return value;
}

class SimulatedSegment final : public Segment {
public:
    SimulatedSegment(const BusDecl &bus, const Layout &layout, int64_t period_ns)
        : plant_(bus, layout), period_ns_(period_ns)
    {
    }

    void make_tags(const std::string &p) override
    {
        link_loss_ = make_tag(p + "Fault.LinkLoss", KO_TYPE_U8, "fault switch: 1 = the link is lost");
        drop_state_ = make_tag(p + "Fault.DropState", KO_TYPE_U8, "fault switch: drop the master to state 1, 2 or 4");
        slow_cycle_ = make_tag(p + "Fault.SlowCycleUs", KO_TYPE_U32, "fault switch: extra time of every cycle, us");
        uint32_t zero = 0;
        for (uint32_t entry : {link_loss_, drop_state_})
            KoTagWriteByEntry(entry, &zero, 1);
        KoTagWriteByEntry(slow_cycle_, &zero, 4);
        plant_.make_tags(p);
    }

    bool open(MasterState &s) override
    {
        if (s.link_lost.load())
            return false;
        s.target.store(ECATSIM_STATE_OP);
        return true;
    }

    CycleOutcome cycle(MasterState &s, Images &images, int64_t now) override
    {
        apply_faults(s, images);
        if (s.link_lost.load())
            return CycleOutcome::Idle;
        step_state(s);
        if (s.state.load() == ECATSIM_STATE_OP) {
            double t_ms = static_cast<double>(s.cycles.load()) * static_cast<double>(period_ns_) / 1e6;
            plant_.exchange(images.input, images.output, t_ms, now, s.cycles.load(), period_ns_, &images.lock);
        }
        uint32_t slow_us = 0;
        KoTagReadByEntry(slow_cycle_, &slow_us, 4);
        if (slow_us > 0)
            sleep_until(now_ns() + int64_t{slow_us} * 1000);
        s.cycles.fetch_add(1);
        return CycleOutcome::Passed;
    }

    void publish() override { plant_.publish(); }

private:
    void apply_faults(MasterState &s, Images &images)
    {
        bool link_lost = read_switch(link_loss_) != 0;
        if (link_lost && !s.link_lost.load()) {
            s.state.store(ECATSIM_STATE_INIT);
            s.target.store(ECATSIM_STATE_INIT);
            climb_ = 0;
            std::lock_guard<std::mutex> lock(images.lock);
            plant_.outputs_off(images.output);
        }
        s.link_lost.store(link_lost);
        if (uint8_t drop = read_switch(drop_state_); drop != 0) {
            uint16_t to = drop >= ECATSIM_STATE_SAFEOP ? ECATSIM_STATE_SAFEOP
                                                       : drop >= ECATSIM_STATE_PREOP ? ECATSIM_STATE_PREOP
                                                                                     : ECATSIM_STATE_INIT;
            s.state.store(std::min(s.state.load(), to));
            s.target.store(s.state.load());
            climb_ = 0;
            uint8_t zero = 0;
            KoTagWriteByEntry(drop_state_, &zero, 1);
        }
        plant_.read_switches();
    }

    void step_state(MasterState &s)
    {
        uint16_t state = s.state.load();
        if (state >= s.target.load() || ++climb_ < kClimbCycles)
            return;
        climb_ = 0;
        s.state.store(static_cast<uint16_t>(state * 2));
    }

    Plant plant_;
    int64_t period_ns_;
    uint32_t climb_ = 0;
    uint32_t link_loss_ = 0, drop_state_ = 0, slow_cycle_ = 0;
};

}  // namespace

std::unique_ptr<Segment> simulated_segment(const BusDecl &bus, const Layout &layout, int64_t period_ns)
{
    return std::make_unique<SimulatedSegment>(bus, layout, period_ns);
}

}  // namespace ecatsim
