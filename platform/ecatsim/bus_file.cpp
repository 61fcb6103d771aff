// bus_file.cpp - reads a bus file with toml++ and checks it whole: names,
// types, wiring, signals, gateway formats and the image sizes; and the
// built-in default bus.
#include "bus.h"
#include "can_frame.h"

#include "toml_reader.h"

#include <cctype>
#include <set>

namespace ecatsim {
namespace {

struct TerminalType {
    const char *type;
    Kind kind;
    uint32_t product_code;
    uint32_t in_size, out_size;
};
constexpr TerminalType kTypes[] = {
    {"EK1100", Kind::Coupler, 0x044C2C52, 0, 0},    {"EL1008", Kind::DigitalIn, 0x03F03052, 1, 0},
    {"EL1809", Kind::DigitalIn, 0x07113052, 2, 0},  {"EL2008", Kind::DigitalOut, 0x07D83052, 0, 1},
    {"EL2809", Kind::DigitalOut, 0x0AF93052, 0, 2}, {"EL3102", Kind::AnalogIn, 0x0C1E3052, 4, 0},
    {"EL3104", Kind::AnalogIn, 0x0C203052, 8, 0},   {"EL6751", Kind::Gateway, kGatewayProduct, 0, 0},
};
constexpr uint32_t kStandardOut = 106, kExtendedOut = 146, kDeviceState = 7;

class BusReader : public ko::TomlReader {
public:
    using TomlReader::TomlReader;

    void read(const toml::table &root, BusDecl &bus)
    {
        only(root, "", {"period_us", "terminal", "can_bus"});
        bus.period_us = static_cast<uint32_t>(integer(root, "", "period_us", false, 100, 100000, 1000));
        std::set<std::string> can_names;
        each_table(root, "can_bus", [&](const toml::table &t, const std::string &prefix) {
            only(t, prefix, {"name", "bitrate"});
            CanBusDecl c;
            c.name = name(t, prefix, "CAN bus name");
            if (!can_names.insert(c.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate CAN bus \"" + c.name + "\"");
            c.bitrate = static_cast<uint32_t>(integer(t, prefix, "bitrate", false, 10000, 1000000, 500000));
            bus.can_buses.push_back(c);
        });
        std::set<std::string> names;
        uint32_t in_total = 0, out_total = 0;
        each_table(root, "terminal", [&](const toml::table &t, const std::string &prefix) {
            TerminalDecl d = terminal(t, prefix, can_names);
            if (!names.insert(d.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate terminal \"" + d.name + "\"");
            if (d.kind == Kind::Gateway) {  // the master places gateways at offsets divisible by 8
                in_total = (in_total + 7) & ~7u;
                out_total = (out_total + 7) & ~7u;
            }
            in_total += d.in_size;
            out_total += d.out_size;
            if (in_total > kImageMax || out_total > kImageMax)
                error(t.source(), prefix + "type",
                      "the images grow to " + std::to_string(in_total) + " input and " + std::to_string(out_total) +
                          " output bytes here; each holds at most " + std::to_string(kImageMax));
            bus.terminals.push_back(std::move(d));
        });
        if (!clean())
            return;  // wiring refers to terminals, which must all have been read
        each_table(root, "terminal", [&](const toml::table &t, const std::string &prefix) {
            const toml::node *wired = t.get("wired_to");
            if (wired == nullptr)
                return;
            std::string target = wired->value_or(std::string());
            bool found = false;
            for (const TerminalDecl &d : bus.terminals)
                found = found || (d.name == target && d.kind == Kind::DigitalOut);
            if (!found)
                error(wired->source(), prefix + "wired_to", "\"" + target + "\" is no digital output terminal of this bus");
        });
    }

private:
    std::string name(const toml::table &t, const std::string &prefix, const char *what) const
    {
        std::string value = text(t, prefix, "name", true, kMaxName, what);
        for (char c : value)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
                error(t.get("name")->source(), prefix + "name",
                      "\"" + value + "\" may only hold letters, digits, '_' and '-' (it becomes part of tag names)");
        return value;
    }

    TerminalDecl terminal(const toml::table &t, const std::string &prefix, const std::set<std::string> &can_names) const
    {
        only(t, prefix, {"name", "type", "wired_to", "signals", "can_bus", "format", "in_size", "out_size"});
        TerminalDecl d;
        d.name = name(t, prefix, "terminal name");
        d.type = text(t, prefix, "type", true);
        const TerminalType *type = nullptr;
        for (const TerminalType &k : kTypes)
            if (d.type == k.type)
                type = &k;
        if (type == nullptr)
            error(t.get("type")->source(), prefix + "type",
                  "unknown type \"" + d.type + "\" (EK1100 EL1008 EL1809 EL2008 EL2809 EL3102 EL3104 EL6751)");
        d.kind = type->kind;
        d.product_code = type->product_code;
        d.in_size = type->in_size;
        d.out_size = type->out_size;
        auto refuse_unless = [&](bool allowed, const char *key, const char *for_what) {
            if (!allowed && t.get(key) != nullptr)
                error(t.get(key)->source(), prefix + key, std::string("only ") + for_what + " have this key");
        };
        refuse_unless(d.kind == Kind::DigitalIn, "wired_to", "digital input terminals");
        refuse_unless(d.kind == Kind::AnalogIn, "signals", "analog input terminals");
        for (const char *key : {"can_bus", "format", "in_size", "out_size"})
            refuse_unless(d.kind == Kind::Gateway, key, "EL6751 gateways");
        d.wired_to = text(t, prefix, "wired_to", false);
        if (d.kind == Kind::AnalogIn)
            d.signals = signals(t, prefix, d.in_size / 2);
        if (d.kind == Kind::Gateway)
            gateway(t, prefix, can_names, d);
        return d;
    }

    std::vector<Signal> signals(const toml::table &t, const std::string &prefix, uint32_t channels) const
    {
        std::vector<Signal> out(channels);
        const toml::node *node = t.get("signals");
        if (node == nullptr)
            return out;
        const toml::array *array = node->as_array();
        if (array == nullptr)
            error(node->source(), prefix + "signals", "expected a list of { kind, period_ms, amplitude, offset }");
        if (array->size() > channels)
            error(node->source(), prefix + "signals",
                  std::to_string(array->size()) + " signals for " + std::to_string(channels) + " channels");
        for (size_t i = 0; i < array->size(); ++i) {
            std::string at = prefix + "signals[" + std::to_string(i) + "].";
            const toml::table &s = table_at((*array)[i], at);
            only(s, at, {"kind", "period_ms", "amplitude", "offset"});
            std::string kind = text(s, at, "kind", true);
            if (kind == "sine")
                out[i].shape = Signal::Sine;
            else if (kind == "ramp")
                out[i].shape = Signal::Ramp;
            else if (kind == "constant")
                out[i].shape = Signal::Constant;
            else
                error(s.get("kind")->source(), at + "kind", "expected \"sine\", \"ramp\" or \"constant\"");
            out[i].period_ms = number(s, at, "period_ms", 1, 3.6e6, 1000);
            out[i].amplitude = number(s, at, "amplitude", 0, 32767, 0);
            out[i].offset = number(s, at, "offset", -32768, 32767, 0);
        }
        return out;
    }

    void gateway(const toml::table &t, const std::string &prefix, const std::set<std::string> &can_names,
                 TerminalDecl &d) const
    {
        d.can_bus = text(t, prefix, "can_bus", true);
        if (can_names.count(d.can_bus) == 0)
            error(t.get("can_bus")->source(), prefix + "can_bus", "no [[can_bus]] is named \"" + d.can_bus + "\"");
        std::string format = text(t, prefix, "format", false);
        bool sized = t.get("in_size") != nullptr || t.get("out_size") != nullptr;
        if (format.empty() || format == "extended") {
            d.format = CAN_FORMAT_EXTENDED;
            d.out_size = kExtendedOut;
        } else if (format == "standard") {
            d.format = CAN_FORMAT_STANDARD;
            d.out_size = kStandardOut;
        } else if (format == "other") {
            d.format = CAN_FORMAT_OTHER;
            d.in_size = static_cast<uint32_t>(integer(t, prefix, "in_size", true, kDeviceState, kImageMax, 0));
            d.out_size = static_cast<uint32_t>(integer(t, prefix, "out_size", true, 0, kImageMax, 0));
            return;
        } else {
            error(t.get("format")->source(), prefix + "format", "expected \"standard\", \"extended\" or \"other\"");
        }
        if (sized)
            error(t.source(), prefix + "in_size", "in_size and out_size go with format = \"other\" only");
        d.in_size = d.out_size + kDeviceState;
    }
};

TerminalDecl make(const char *name, const char *type)
{
    TerminalDecl d;
    d.name = name;
    d.type = type;
    for (const TerminalType &k : kTypes)
        if (d.type == k.type) {
            d.kind = k.kind;
            d.product_code = k.product_code;
            d.in_size = k.in_size;
            d.out_size = k.out_size;
        }
    return d;
}

}  // namespace

BusDecl default_bus()
{
    BusDecl bus;
    bus.name = "default";
    bus.can_buses.push_back({"can0", 500000});
    bus.terminals.push_back(make("EK1100", "EK1100"));
    TerminalDecl in = make("DI1", "EL1008");
    in.wired_to = "DO1";
    bus.terminals.push_back(in);
    bus.terminals.push_back(make("DO1", "EL2008"));
    TerminalDecl analog = make("AI1", "EL3102");
    analog.signals = {{Signal::Sine, 10000, 10000, 0}, {Signal::Ramp, 20000, 32767, 0}};
    bus.terminals.push_back(analog);
    for (const char *name : {"CAN1", "CAN2"}) {
        TerminalDecl gateway = make(name, "EL6751");
        gateway.format = CAN_FORMAT_EXTENDED;
        gateway.out_size = kExtendedOut;
        gateway.in_size = kExtendedOut + kDeviceState;
        gateway.can_bus = "can0";
        bus.terminals.push_back(gateway);
    }
    return bus;
}

bool parse_bus(const std::string &text, const std::string &path, const std::string &name, BusDecl &bus,
               std::string &error)
{
    bus = BusDecl{};
    bus.name = name;
    BusReader reader(path);
    if (ko::parse_toml(text, path, error, reader, [&](const toml::table &root) { reader.read(root, bus); }))
        return true;
    bus = BusDecl{};
    return false;
}

bool load_bus_file(const std::string &path, const std::string &name, BusDecl &bus, std::string &error)
{
    std::string text;
    return ko::read_regular_file(path, "bus file", text, error) && parse_bus(text, path, name, bus, error);
}

}  // namespace ecatsim
