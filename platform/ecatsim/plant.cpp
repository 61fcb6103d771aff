// plant.cpp - what the simulated terminals do with the images each cycle.
#include "plant.h"

#include "kohgapi.h"
#include "tag_entry.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ecatsim {
namespace {

uint32_t align8(uint32_t offset)
{
    return (offset + 7u) & ~7u;
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

}  // namespace

Layout lay_out(const std::vector<TerminalDecl> &terminals)
{
    Layout layout;
    uint32_t in = 0, out = 0;
    for (size_t i = 0; i < terminals.size(); ++i) {
        const TerminalDecl &t = terminals[i];
        if (t.kind == Kind::Gateway) {
            in = align8(in);
            out = align8(out);
        }
        layout.places.push_back({in, out, static_cast<uint32_t>(1001 + i)});
        in += t.in_size;
        out += t.out_size;
    }
    layout.in_size = in;
    layout.out_size = out;
    return layout;
}

Plant::Plant(const BusDecl &bus, const Layout &layout) : bus_(bus), layout_(layout)
{
    for (const CanBusDecl &c : bus.can_buses) {
        CanBus b;
        b.name = c.name;
        b.bitrate = c.bitrate;
        can_buses_.push_back(b);
    }
    for (size_t i = 0; i < bus.terminals.size(); ++i) {
        const TerminalDecl &t = bus.terminals[i];
        size_t wired = SIZE_MAX;
        for (size_t w = 0; w < bus.terminals.size(); ++w)
            if (!t.wired_to.empty() && bus.terminals[w].name == t.wired_to)
                wired = w;
        wired_.push_back(wired);
        if (t.kind != Kind::Gateway)
            continue;
        Gateway g;
        g.terminal = i;
        g.format = t.format;
        g.in_offset = layout.places[i].in_offset;
        g.in_size = t.in_size;
        g.out_offset = layout.places[i].out_offset;
        g.out_size = t.out_size;
        for (size_t b = 0; b < can_buses_.size(); ++b)
            if (can_buses_[b].name == t.can_bus) {
                g.can_bus = b;
                can_buses_[b].gateways.push_back(gateways_.size());
            }
        gateways_.push_back(std::move(g));
    }
}

void Plant::make_tags(const std::string &prefix)
{
    uint8_t zero = 0;
    for (Gateway &g : gateways_) {
        g.silent_entry = make_tag(prefix + bus_.terminals[g.terminal].name + ".Silent", KO_TYPE_U8,
                                            "fault switch: 1 = the gateway stops answering");
        KoTagWriteByEntry(g.silent_entry, &zero, 1);
    }
    for (CanBus &b : can_buses_) {
        b.frames_entry = make_tag(prefix + "CAN." + b.name + ".Frames", KO_TYPE_U32, "frames over the CAN bus");
        b.lost_entry = make_tag(prefix + "CAN." + b.name + ".Lost", KO_TYPE_U32,
                                          "frames a gateway could not keep");
    }
}

void Plant::read_switches()
{
    for (Gateway &g : gateways_) {
        uint8_t silent = 0;
        KoTagReadByEntry(g.silent_entry, &silent, 1);
        g.silent = silent != 0;
    }
}

void Plant::exchange(uint8_t *in_image, uint8_t *out_image, double t_ms, int64_t now_ns, uint32_t cycle,
                     int64_t period_ns, std::mutex *io_lock)
{
    {
        std::unique_lock<std::mutex> lock;
        if (io_lock != nullptr)
            lock = std::unique_lock<std::mutex>(*io_lock);
        for (size_t i = 0; i < bus_.terminals.size(); ++i) {
            const TerminalDecl &t = bus_.terminals[i];
            uint8_t *in = in_image + layout_.places[i].in_offset;
            if (size_t w = wired_[i]; w != SIZE_MAX) {
                std::memcpy(in, out_image + layout_.places[w].out_offset,
                            std::min(t.in_size, bus_.terminals[w].out_size));
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
        b.step(gateways_, now_ns);
    for (Gateway &g : gateways_)
        g.exchange(in_image + g.in_offset, out_image + g.out_offset, now_ns, cycle,
                   can_buses_[g.can_bus].load(period_ns));
}

void Plant::outputs_off(uint8_t *out) const
{
    for (size_t i = 0; i < bus_.terminals.size(); ++i)
        if (bus_.terminals[i].kind == Kind::DigitalOut)
            std::memset(out + layout_.places[i].out_offset, 0, bus_.terminals[i].out_size);
}

void Plant::publish() const
{
    for (const CanBus &b : can_buses_) {
        KoTagWriteByEntry(b.frames_entry, &b.frames, 4);
        KoTagWriteByEntry(b.lost_entry, &b.lost, 4);
    }
}

}  // namespace ecatsim
