// bus.h - what a simulated EtherCAT bus is made of, as a bus file (TOML)
// or the built-in default bus describes it.
//
//   period_us = 1000                 cycle period, 100 to 100000 (default 1000)
//   [[terminal]]                     in bus order; offsets follow from the order
//   name = "DI1"                     at most 15 characters: letters, digits, '_', '-'
//   type = "EL1008"                  one of the types below
//   wired_to = "DO1"                 digital inputs: the output terminal they read
//   signals = [ { kind = "sine", period_ms = 5000, amplitude = 10000, offset = 0 } ]
//                                    analog inputs: one per channel, kind "sine",
//                                    "ramp" or "constant" (default: constant 0)
//   can_bus = "can0"                 EL6751: the CAN bus it is on
//   format = "extended"              EL6751: "standard" (113/106 bytes), "extended"
//                                    (153/146) or "other" with in_size and out_size
//   [[can_bus]]
//   name = "can0"                    at most 15 characters
//   bitrate = 500000                 10000 to 1000000 bit/s (default 500000)
//
// Types: EK1100 coupler; EL1008 / EL1809 8 / 16 digital inputs; EL2008 /
// EL2809 8 / 16 digital outputs (one bit per channel, LSB first); EL3102 /
// EL3104 2 / 4 analog inputs (signed 16-bit, little-endian, per channel);
// EL6751 CAN gateway.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecatsim {

enum class Kind { Coupler, DigitalIn, DigitalOut, AnalogIn, Gateway };

struct Signal {
    enum Shape { Constant, Sine, Ramp } shape = Constant;
    double period_ms = 1000;
    double amplitude = 0;
    double offset = 0;
};

struct TerminalDecl {
    std::string name;
    std::string type;
    Kind kind = Kind::Coupler;
    uint32_t product_code = 0;
    uint32_t in_size = 0;
    uint32_t out_size = 0;
    std::string wired_to;         // digital inputs
    std::vector<Signal> signals;  // analog inputs, one per channel
    uint8_t format = 0;           // gateways: 1 standard, 2 extended, 0 other sizes
    std::string can_bus;          // gateways
};

struct CanBusDecl {
    std::string name;
    uint32_t bitrate = 500000;
};

struct BusDecl {
    std::string name;
    uint32_t period_us = 1000;
    std::vector<TerminalDecl> terminals;
    std::vector<CanBusDecl> can_buses;
};

constexpr uint32_t kVendor = 2;
constexpr uint32_t kGatewayProduct = 0x1A5F3052;
constexpr size_t kMaxName = 15;
constexpr uint32_t kImageMax = 0x10000;

// The bus a master runs when no bus file is named: a coupler, 8 digital
// inputs wired to 8 digital outputs, 2 analog inputs (a sine and a ramp) and
// two extended-format EL6751 on one CAN bus.
BusDecl default_bus();

// Reads a bus file; false with "FILE:LINE:COLUMN: KEY: what".
bool load_bus_file(const std::string &path, const std::string &name, BusDecl &bus, std::string &error);
bool parse_bus(const std::string &text, const std::string &path, const std::string &name, BusDecl &bus,
               std::string &error);

}  // namespace ecatsim
