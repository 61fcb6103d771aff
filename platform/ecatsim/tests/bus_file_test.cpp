// Bus files: what a good one describes, and every kind of mistake refused
// with its file, line, column and key.
#include "bus.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using ecatsim::BusDecl;
using ecatsim::Kind;

TEST(BusFile, DescribesTerminalsInOrderWithTheirImagesAndSignals)
{
    BusDecl bus;
    std::string error;
    ASSERT_TRUE(ecatsim::parse_bus(R"(
period_us = 250

[[can_bus]]
name = "can-a"
bitrate = 125000

[[terminal]]
name = "K1"
type = "EK1100"

[[terminal]]
name = "DI"
type = "EL1008"
wired_to = "DO"

[[terminal]]
name = "DO"
type = "EL2008"

[[terminal]]
name = "AI"
type = "EL3102"
signals = [ { kind = "sine", period_ms = 500, amplitude = 100.5 } ]

[[terminal]]
name = "GW"
type = "EL6751"
can_bus = "can-a"
format = "standard"
)",
                                   "bus.toml", "line", bus, error))
        << error;
    EXPECT_EQ(bus.name, "line");
    EXPECT_EQ(bus.period_us, 250u);
    ASSERT_EQ(bus.terminals.size(), 5u);
    EXPECT_EQ(bus.terminals[1].kind, Kind::DigitalIn);
    EXPECT_EQ(bus.terminals[1].wired_to, "DO");
    EXPECT_EQ(bus.terminals[2].out_size, 1u);
    ASSERT_EQ(bus.terminals[3].signals.size(), 2u) << "one per channel";
    EXPECT_EQ(bus.terminals[3].signals[0].shape, ecatsim::Signal::Sine);
    EXPECT_DOUBLE_EQ(bus.terminals[3].signals[0].amplitude, 100.5);
    EXPECT_EQ(bus.terminals[3].signals[1].shape, ecatsim::Signal::Constant) << "a channel without a signal";
    EXPECT_EQ(bus.terminals[4].format, 1);
    EXPECT_EQ(bus.terminals[4].in_size, 113u);
    EXPECT_EQ(bus.terminals[4].out_size, 106u);
    EXPECT_EQ(bus.terminals[4].product_code, 0x1A5F3052u);
    ASSERT_EQ(bus.can_buses.size(), 1u);
    EXPECT_EQ(bus.can_buses[0].bitrate, 125000u);

    BusDecl fallback = ecatsim::default_bus();
    EXPECT_EQ(fallback.period_us, 1000u);
    EXPECT_EQ(fallback.terminals.size(), 6u);
}

struct BadFile {
    const char *what;
    const char *text;
    const char *message;  // the whole first part of the error
};
void PrintTo(const BadFile &b, std::ostream *out)
{
    *out << b.what;
}
class BusFileError : public ::testing::TestWithParam<BadFile> {};

TEST_P(BusFileError, NamesFileLineColumnAndKey)
{
    const BadFile &b = GetParam();
    BusDecl bus;
    std::string error;
    EXPECT_FALSE(ecatsim::parse_bus(b.text, "/plant/bus.toml", "line", bus, error)) << b.what;
    EXPECT_EQ(error.substr(0, std::string(b.message).size()), b.message) << error;
    EXPECT_TRUE(bus.terminals.empty()) << "nothing half-read is kept";
}


INSTANTIATE_TEST_SUITE_P(
    BusFile, BusFileError,
    ::testing::Values(
        BadFile{"syntax", "period_us = \n", "/plant/bus.toml:1:13: syntax: "},
        BadFile{"unknown top key", "speed = 1\n", "/plant/bus.toml:1:1: speed: unknown key"},
        BadFile{"period too short", "period_us = 99\n", "/plant/bus.toml:1:13: period_us: 99 is out of range 100 to 100000"},
        BadFile{"unknown type", "[[terminal]]\nname = \"X\"\ntype = \"EL9999\"\n",
                "/plant/bus.toml:3:8: terminal[0].type: unknown type \"EL9999\""},
        BadFile{"missing name", "[[terminal]]\ntype = \"EK1100\"\n", "/plant/bus.toml:1:1: terminal[0].name: missing"},
        BadFile{"name too long", "[[terminal]]\nname = \"ABCDEFGHIJKLMNOP\"\ntype = \"EK1100\"\n",
                "/plant/bus.toml:2:8: terminal[0].name: terminal name \"ABCDEFGHIJKLMNOP\" is 16 characters; the limit is 15"},
        BadFile{"name with a dot", "[[terminal]]\nname = \"A.B\"\ntype = \"EK1100\"\n",
                "/plant/bus.toml:2:8: terminal[0].name: \"A.B\" may only hold"},
        BadFile{"duplicate terminal", "[[terminal]]\nname = \"A\"\ntype = \"EK1100\"\n[[terminal]]\nname = \"A\"\ntype = \"EK1100\"\n",
                "/plant/bus.toml:5:8: terminal[1].name: duplicate terminal \"A\""},
        BadFile{"wired to an input", "[[terminal]]\nname = \"A\"\ntype = \"EL1008\"\nwired_to = \"A\"\n",
                "/plant/bus.toml:4:12: terminal[0].wired_to: \"A\" is no digital output terminal of this bus"},
        BadFile{"wiring on an output", "[[terminal]]\nname = \"A\"\ntype = \"EL2008\"\nwired_to = \"A\"\n",
                "/plant/bus.toml:4:12: terminal[0].wired_to: only digital input terminals have this key"},
        BadFile{"too many signals", "[[terminal]]\nname = \"A\"\ntype = \"EL3102\"\nsignals = [{kind=\"ramp\"},{kind=\"ramp\"},{kind=\"ramp\"}]\n",
                "/plant/bus.toml:4:11: terminal[0].signals: 3 signals for 2 channels"},
        BadFile{"unknown signal", "[[terminal]]\nname = \"A\"\ntype = \"EL3102\"\nsignals = [{kind=\"square\"}]\n",
                "/plant/bus.toml:4:18: terminal[0].signals[0].kind: expected \"sine\", \"ramp\" or \"constant\""},
        BadFile{"amplitude too big", "[[terminal]]\nname = \"A\"\ntype = \"EL3102\"\nsignals = [{kind=\"sine\", amplitude=40000}]\n",
                "/plant/bus.toml:4:36: terminal[0].signals[0].amplitude: 40000 is out of range 0 to 32767"},
        BadFile{"gateway without bus", "[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\n",
                "/plant/bus.toml:1:1: terminal[0].can_bus: missing"},
        BadFile{"gateway on an unknown bus", "[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"x\"\n",
                "/plant/bus.toml:4:11: terminal[0].can_bus: no [[can_bus]] is named \"x\""},
        BadFile{"unknown format", "[[can_bus]]\nname = \"c\"\n[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"c\"\nformat = \"fd\"\n",
                "/plant/bus.toml:7:10: terminal[0].format: expected \"standard\", \"extended\" or \"other\""},
        BadFile{"other without sizes", "[[can_bus]]\nname = \"c\"\n[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"c\"\nformat = \"other\"\n",
                "/plant/bus.toml:3:1: terminal[0].in_size: missing"},
        BadFile{"other too small for the state bytes",
                "[[can_bus]]\nname = \"c\"\n[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"c\"\nformat = \"other\"\nin_size = 6\nout_size = 1\n",
                "/plant/bus.toml:8:11: terminal[0].in_size: 6 is out of range 7 to 65536"},
        BadFile{"sizes without other",
                "[[can_bus]]\nname = \"c\"\n[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"c\"\nin_size = 120\n",
                "/plant/bus.toml:3:1: terminal[0].in_size: in_size and out_size go with format = \"other\" only"},
        BadFile{"bit rate too high", "[[can_bus]]\nname = \"c\"\nbitrate = 2000000\n",
                "/plant/bus.toml:3:11: can_bus[0].bitrate: 2000000 is out of range 10000 to 1000000"},
        BadFile{"images too big",
                "[[can_bus]]\nname = \"c\"\n[[terminal]]\nname = \"G\"\ntype = \"EL6751\"\ncan_bus = \"c\"\nformat = \"other\"\n"
                "in_size = 65536\nout_size = 1\n[[terminal]]\nname = \"D\"\ntype = \"EL1008\"\n",
                "/plant/bus.toml:10:1: terminal[1].type: the images grow to 65537 input and 1 output bytes here"}));

}  // namespace
