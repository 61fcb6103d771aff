// node_config.h - the node config (TOML): tags, services, their settings,
// properties and I/O points. Read by the tag library, the launcher and the
// tools; every error names the file, line, column and key.
//
//   [node]       name
//   [[tag]]      name, type, value, description, size (segment),
//                record_size and depth (fifo), properties = { Key = "text" }
//   [[service]]  name (at most 17 characters), short_name (at most 7; default:
//                the first 7 characters of name), driver, autostart,
//                settings = { Key = number | true | false }  initial "SERVICE.<name>.<Key>"
//                  tags: integers (i32, u32 or i64) and u8 for true/false,
//                  unless a [[tag]] declares the name with its own type
//                properties = { Key = { Prop = "text" } }  on "SERVICE.<name>.<Key>"
//   [[service.input]] / [[service.output]]  one I/O point each:
//                tag, address, access = "bit" | "value" | "segment", bit (0-15),
//                item_width (bit points: above 7 = 2-byte item; default 1),
//                enabled (default true), type and size (when the tag is not
//                declared under [[tag]])
//   [[modbus]]   a Modbus device, named where a Modbus service's NodeName
//                address is too long or no IPv4 address: name (at most 14
//                characters), unit (TCP default 255, RTU default 1) and either
//                address (IPv4, any length) and port (default 502), or device
//                (serial path), baud (default 19200), parity ("none", "even",
//                "odd"; default "none"), data_bits (7 or 8), stop_bits (1 or 2);
//                timeout_ms (1 to 600000, default 1000): a request's response
//                timeout; as a server's address: allow (["a.b.c.d", "a.b.c.0/24"],
//                default any) and max_connections (1 to 1024, default 16)
//   [[ethercat]] an EtherCAT master, chosen where an EtherCAT service's
//                NodeName address names it: name (at most 15 characters:
//                letters, digits, '_' and '-') and bus, the path of its bus
//                file (relative: beside this config), simulated in the
//                service; or interface, a network interface it sends real
//                frames on (the bus file, or the default bus without one,
//                then says what the cable holds)
//   [[app]]      a program the launcher runs beside the services: name (at
//                most 31 characters), command = ["program", "arg", ...] (a
//                program without '/' is found beside the launcher, then on PATH)
// Types: u8 i8 byte i16 u16 u32 i32 i64 u64 f32 f64 segment fifo.
// Tag names are at most 51 characters; property names 31, property texts
// 4095. Value and bit points move at most 8 bytes, segment points 65535.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ko {

using ConfigValue = std::variant<int64_t, double, bool, std::string>;

struct TagDecl {
    std::string name;
    uint16_t type = 0;
    std::optional<ConfigValue> value;
    std::string description;
    uint32_t size = 0;  // segment bytes; FIFO record bytes
    uint32_t depth = 0;
    std::map<std::string, std::string> properties;
};

struct PointDecl {
    std::string tag;
    uint32_t address = 0;
    uint8_t access_mode = 0;  // KO_ACCESS_BIT, KO_ACCESS_VALUE or KO_ACCESS_SEGMENT
    uint16_t bit = 0;
    uint16_t item_width = 1;
    bool enabled = true;
    uint16_t type = 0;  // 0: as declared under [[tag]]
    uint32_t size = 0;
    std::string at;     // "FILE:LINE:COLUMN" of its type (or tag) key, for messages
};

struct ServiceDecl {
    std::string name;
    std::string short_name;
    std::string driver;
    bool autostart = false;
    std::vector<std::pair<std::string, ConfigValue>> settings;
    std::map<std::string, std::map<std::string, std::string>> properties;
    std::vector<PointDecl> inputs;
    std::vector<PointDecl> outputs;
    std::string driver_at;  // "FILE:LINE:COLUMN" of the driver key, for messages
    std::map<std::string, std::string> at;  // "settings.KEY", "properties.KEY": where each is
};

// A program of the node that the launcher starts and ends with it.
struct AppDecl {
    std::string name;
    std::vector<std::string> command;
    std::string command_at;  // "FILE:LINE:COLUMN" of the command key
};

// A Modbus device the Modbus library reaches by name (the NodeName address
// of a Modbus service): a TCP device, or a serial line for Modbus RTU.
struct ModbusDecl {
    std::string name;
    std::string address;  // TCP: IPv4 address
    uint16_t port = 502;
    std::string device;   // RTU: serial device path
    uint32_t baud = 19200;
    char parity = 'N';    // 'N', 'E' or 'O'
    uint8_t data_bits = 8;
    uint8_t stop_bits = 1;
    uint8_t unit = 0;     // default 255 for TCP, 1 for RTU
    uint32_t timeout_ms = 1000;  // every request waits at most this long
    // When the node serves its map here (is_master 0): the masters that may
    // connect (IPv4 addresses and a.b.c.d/n networks; empty: any), and how many at once.
    std::vector<std::string> allow;
    uint32_t max_connections = 16;
};

// "a.b.c.d" or "a.b.c.d/n" as a network address and mask in host order;
// false when the text is neither.
bool parse_ipv4_network(const std::string &text, uint32_t &network, uint32_t &mask);

// "a.b.c.d" or "a.b.c.d:port" (port 502 when none is given); false when the
// part before ':' is no IPv4 address, port 0 when the part after it is no
// port 1 to 65535.
bool parse_tcp_address(const std::string &text, std::string &ip, int &port);

// A TCP socket bound to ip:port the way a Modbus server binds it (address
// reuse, so a port an earlier run left in TIME_WAIT binds again); the check
// of a node binds the same way so that it predicts the server. -1 with errno
// set when it cannot be bound.
int bind_tcp_address(const std::string &ip, int port, int socket_flags);

// An EtherCAT master: the bus file it simulates, or, with an interface, the
// network interface it sends frames on; the bus file (the default bus when
// none is named) then says what the cable must hold.
struct EthercatDecl {
    std::string name;
    std::string bus;        // absolute, or as given when the config has no directory; may be empty with an interface
    std::string interface;  // empty: simulated in the process
};

struct NodeConfig {
    std::string name;
    std::vector<TagDecl> tags;
    std::vector<ServiceDecl> services;
    std::vector<ModbusDecl> modbus;
    std::vector<EthercatDecl> ethercat;
    std::vector<AppDecl> apps;

    const TagDecl *tag(const std::string &name) const;
    const ServiceDecl *service(const std::string &name) const;
    const ModbusDecl *modbus_device(const std::string &name) const;
    const EthercatDecl *ethercat_master(const std::string &name) const;
};

// A service name must leave room for the longest tag name the container
// makes: "SERVICE.<name>.OutThread31_KoreLastError" within 51 characters.
constexpr size_t kMaxServiceName = 17;
constexpr size_t kMaxShortName = 7;
constexpr size_t kMaxTagName = 51;
constexpr size_t kMaxEthercatName = 15;
constexpr size_t kMaxInterfaceName = 15;  // IFNAMSIZ - 1
constexpr uint32_t kSegmentPointMax = 65535;  // the point tables carry 16-bit sizes
// Data area kept free of the config's segments and FIFOs, for the tags the
// services and tools make at run time.
constexpr uint64_t kDataReserve = 4ull << 20;

// True when there is no file at path (a node may run without a config).
bool node_config_absent(const std::string &path);
// Parses a config file, which must be a regular file; false with a message
// "FILE:LINE:COLUMN: KEY: what" on error.
bool load_node_config(const std::string &path, NodeConfig &config, std::string &error);
// The same for a text (path is used in messages only).
bool parse_node_config(const std::string &text, const std::string &path, NodeConfig &config, std::string &error);

// The type of a setting's tag when no [[tag]] declares it: u8 for true and
// false, else i32, u32 or i64, the first that holds the number.
uint16_t setting_tag_type(const ConfigValue &value);

// Type code of a type name, 0 when unknown; and back.
uint16_t type_code(const std::string &name);
const char *type_name(uint16_t code);

// RT_NODE_DIR/node.toml.
std::string node_config_path();

}  // namespace ko
