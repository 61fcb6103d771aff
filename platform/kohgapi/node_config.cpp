// node_config.cpp - reads the node config with toml++. Unknown keys are
// refused; limits, value ranges and the store's capacity are checked here,
// so that nothing a config says is dropped or cut when the store is seeded.
#include "node_config.h"

#include "rt.h"
#include "store.h"
#include "toml_reader.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

namespace ko {
namespace {

struct TypeName {
    const char *name;
    uint16_t code;
};
constexpr TypeName kTypes[] = {
    {"u8", 1},  {"i8", 2},  {"byte", 3}, {"i16", 4},  {"u16", 5},      {"u32", 6},  {"i32", 7},
    {"i64", 8}, {"u64", 9}, {"f32", 10}, {"f64", 11}, {"segment", 12}, {"fifo", 14},
};

struct IntegerRange {
    uint16_t type;
    int64_t low, high;
};
constexpr IntegerRange kIntegerRanges[] = {
    {KO_TYPE_U8, 0, 255},           {KO_TYPE_I8, -128, 127},           {KO_TYPE_BYTE, 0, 255},
    {KO_TYPE_I16, -32768, 32767},   {KO_TYPE_U16, 0, 65535},           {KO_TYPE_U32, 0, 4294967295ll},
    {KO_TYPE_I32, INT32_MIN, INT32_MAX}, {KO_TYPE_I64, INT64_MIN, INT64_MAX}, {KO_TYPE_U64, 0, INT64_MAX},
};

std::string shown(const ConfigValue &value)
{
    if (const auto *i = std::get_if<int64_t>(&value))
        return std::to_string(*i);
    if (const auto *d = std::get_if<double>(&value)) {
        std::ostringstream out;
        out << *d;
        return out.str();
    }
    if (const auto *b = std::get_if<bool>(&value))
        return *b ? "true" : "false";
    return "\"" + std::get<std::string>(value) + "\"";
}

// Why a value cannot be a tag's value of that type and size; empty when it can.
std::string unfit(const ConfigValue &value, uint16_t type, uint32_t size)
{
    const char *name = type_name(type);
    if (is_segment_type(type)) {
        const auto *text = std::get_if<std::string>(&value);
        if (text == nullptr)
            return "a segment takes a text as its value";
        if (text->size() > size)
            return "the text is " + std::to_string(text->size()) + " bytes; the segment holds " + std::to_string(size);
        return {};
    }
    if (type == KO_TYPE_FIFO)
        return "a fifo has no value";
    if (std::holds_alternative<std::string>(value))
        return shown(value) + " is not a number (type " + name + ")";
    if (type == KO_TYPE_F32 || type == KO_TYPE_F64) {
        if (const auto *d = std::get_if<double>(&value); d != nullptr && type == KO_TYPE_F32 && std::isfinite(*d) &&
                                                         std::fabs(*d) > FLT_MAX)
            return shown(value) + " does not fit type f32";
        return {};
    }
    double number = 0;
    if (const auto *i = std::get_if<int64_t>(&value))
        number = static_cast<double>(*i);
    else if (const auto *b = std::get_if<bool>(&value))
        number = *b ? 1 : 0;
    else
        number = std::get<double>(value);
    if (std::holds_alternative<double>(value) && (!std::isfinite(number) || std::trunc(number) != number))
        return shown(value) + " is not an integer (type " + name + ")";
    for (const IntegerRange &r : kIntegerRanges) {
        if (r.type != type)
            continue;
        bool fits = std::holds_alternative<int64_t>(value)
                        ? std::get<int64_t>(value) >= r.low && std::get<int64_t>(value) <= r.high
                        : number >= static_cast<double>(r.low) && number <= static_cast<double>(r.high);
        if (!fits)
            return shown(value) + " is out of range " + std::to_string(r.low) + " to " + std::to_string(r.high) +
                   " (type " + name + ")";
    }
    return {};
}

class Reader : public TomlReader {
public:
    using TomlReader::TomlReader;

    uint16_t type(const toml::table &t, const std::string &prefix, bool required) const
    {
        std::string name = text(t, prefix, "type", required);
        if (name.empty())
            return 0;
        uint16_t code = type_code(name);
        if (code == 0)
            error(t.get("type")->source(), prefix + "type",
                  "unknown type \"" + name + "\" (u8 i8 byte i16 u16 u32 i32 i64 u64 f32 f64 segment fifo)");
        return code;
    }

    ConfigValue value(const toml::node &node, const std::string &key) const
    {
        if (const auto *i = node.as_integer())
            return i->get();
        if (const auto *f = node.as_floating_point())
            return f->get();
        if (const auto *b = node.as_boolean())
            return b->get();
        if (const auto *s = node.as_string())
            return s->get();
        error(node.source(), key, "expected a number, true/false or a text");
    }

    // Properties: names of at most 31 characters, texts of at most 4095;
    // names compare without case, so two that differ only in case clash.
    std::map<std::string, std::string> texts(const toml::node &node, const std::string &key) const
    {
        std::map<std::string, std::string> out;
        std::set<std::string> folded;
        for (const auto &[k, v] : table_at(node, key)) {
            std::string name(k.str()), where = key + "." + name;
            const auto *s = v.as_string();
            if (s == nullptr)
                error(v.source(), where, "expected a text");
            if (name.empty() || name.size() > kPropertyNameMax)
                error(k.source(), where,
                      "property name of " + std::to_string(name.size()) + " characters; the limit is " +
                          std::to_string(kPropertyNameMax));
            if (s->get().size() > kPropertyTextMax)
                error(v.source(), where,
                      "text of " + std::to_string(s->get().size()) + " bytes; the limit is " +
                          std::to_string(kPropertyTextMax));
            std::string lower;
            for (char c : name)
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!folded.insert(lower).second)
                error(k.source(), where, "property named twice (names compare without case)");
            out[name] = s->get();
        }
        if (out.size() > kPropertiesPerTag)
            error(node.source(), key, "more than " + std::to_string(kPropertiesPerTag) + " properties");
        return out;
    }

    TagDecl tag(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "type", "value", "description", "size", "record_size", "depth", "properties"});
        TagDecl d;
        d.name = text(t, prefix, "name", true, kMaxTagName, "tag name");
        d.type = type(t, prefix, true);
        d.description = text(t, prefix, "description", false);
        if (d.type == KO_TYPE_SEGMENT) {
            d.size = static_cast<uint32_t>(integer(t, prefix, "size", true, 1, 1 << 20, 0));
        } else if (d.type == KO_TYPE_FIFO) {
            d.size = static_cast<uint32_t>(integer(t, prefix, "record_size", true, 1, 4096, 0));
            d.depth = static_cast<uint32_t>(integer(t, prefix, "depth", true, 1, 65536, 0));
        }
        if (const toml::node *v = t.get("value")) {
            d.value = value(*v, prefix + "value");
            if (std::string why = unfit(*d.value, d.type, d.size); !why.empty())
                error(v->source(), prefix + "value", why);
        }
        if (const toml::node *p = t.get("properties"))
            d.properties = texts(*p, prefix + "properties");
        return d;
    }

    PointDecl point(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"tag", "address", "access", "bit", "item_width", "enabled", "type", "size"});
        PointDecl p;
        p.tag = text(t, prefix, "tag", true, kMaxTagName, "tag name");
        p.at = where(t.get("type") != nullptr ? t.get("type")->source() : t.get("tag")->source());
        p.address = static_cast<uint32_t>(integer(t, prefix, "address", true, 0, 0xFFFFFFFFll, 0));
        std::string access = text(t, prefix, "access", true);
        if (access == "bit")
            p.access_mode = KO_ACCESS_BIT;
        else if (access == "value")
            p.access_mode = KO_ACCESS_VALUE;
        else if (access == "segment")
            p.access_mode = KO_ACCESS_SEGMENT;
        else
            error(t.get("access")->source(), prefix + "access", "expected \"bit\", \"value\" or \"segment\"");
        p.bit = static_cast<uint16_t>(integer(t, prefix, "bit", false, 0, 15, 0));
        p.item_width = static_cast<uint16_t>(integer(t, prefix, "item_width", false, 0, 16, 1));
        p.enabled = boolean(t, prefix, "enabled", true);
        p.type = type(t, prefix, false);
        p.size = static_cast<uint32_t>(integer(t, prefix, "size", false, 1, kSegmentPointMax, 0));
        check_point_tag(t, prefix, p);
        return p;
    }

    // A point moves a whole value of up to 8 bytes or a segment of up to
    // 65535 bytes; its tag, declared or made for it, must be of that kind.
    void check_point_tag(const toml::table &t, const std::string &prefix, const PointDecl &p) const
    {
        uint16_t type = p.type;
        uint32_t size = p.size;
        const toml::node *at = t.get("type") != nullptr ? t.get("type") : t.get("tag");
        std::string key = prefix + (t.get("type") != nullptr ? "type" : "tag");
        if (const TagDecl *d = config_->tag(p.tag)) {
            if (p.type != 0 && p.type != d->type)
                error(at->source(), key,
                      "the tag is declared under [[tag]] with type " + std::string(type_name(d->type)));
            type = d->type;
            size = d->size;
        }
        if (type == KO_TYPE_FIFO && (p.access_mode == KO_ACCESS_SEGMENT || size > 8))
            error(at->source(), key,
                  "a fifo can be a bit or value point of records of at most 8 bytes; this one has " +
                      std::to_string(size) + "-byte records");
        if (p.access_mode == KO_ACCESS_SEGMENT) {
            if (type != 0 && !is_segment_type(type))
                error(at->source(), key, "a segment point needs a segment tag, not " + std::string(type_name(type)));
            if (size == 0)
                error(t.source(), prefix + "size",
                      "missing (a segment point whose tag is not declared under [[tag]] needs its size)");
            if (size > kSegmentPointMax)
                error(at->source(), key,
                      "the segment is " + std::to_string(size) + " bytes; a segment point moves at most " +
                          std::to_string(kSegmentPointMax));
        } else if (p.access_mode == KO_ACCESS_VALUE && is_segment_type(type)) {
            error(at->source(), key,
                  "a value point moves at most 8 bytes; the tag is a " + std::to_string(size) +
                      "-byte segment (use access = \"segment\")");
        }
    }

    std::vector<PointDecl> points(const toml::table &service, const std::string &prefix, const char *key) const
    {
        std::vector<PointDecl> out;
        const toml::node *node = service.get(key);
        if (node == nullptr)
            return out;
        const auto *array = node->as_array();
        if (array == nullptr)
            error(node->source(), prefix + key, "expected [[service." + std::string(key) + "]] tables");
        bool all = true;
        for (size_t i = 0; i < array->size(); ++i) {
            try {
                out.push_back(point(table_at((*array)[i], prefix + key), prefix + key + "[" + std::to_string(i) + "]."));
            } catch (const ConfigError &e) {
                keep(e);
                all = false;
            }
        }
        if (!all)
            throw ConfigError{};  // the service is left out; its points' errors are kept
        return out;
    }

    ServiceDecl service(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "short_name", "driver", "autostart", "settings", "properties", "input", "output"});
        ServiceDecl s;
        s.name = text(t, prefix, "name", true);
        if (s.name.size() > kMaxServiceName)
            error(t.get("name")->source(), prefix + "name",
                  "service name \"" + s.name + "\" is " + std::to_string(s.name.size()) +
                      " characters; the limit is " + std::to_string(kMaxServiceName) +
                      " (so that every tag name of the service fits " + std::to_string(kMaxTagName) + ")");
        s.short_name = text(t, prefix, "short_name", false, kMaxShortName, "short name");
        if (s.short_name.empty())
            s.short_name = s.name.substr(0, kMaxShortName);
        s.driver = text(t, prefix, "driver", false);
        if (const toml::node *driver = t.get("driver"))
            s.driver_at = where(driver->source());
        s.autostart = boolean(t, prefix, "autostart", false);
        if (const toml::node *settings = t.get("settings"))
            for (const auto &[k, v] : table_at(*settings, prefix + "settings")) {
                std::string key(k.str());
                s.at["settings." + key] = where(v.source());
                s.settings.emplace_back(key, setting(v, prefix + "settings." + key, "SERVICE." + s.name + "." + key));
            }
        if (const toml::node *props = t.get("properties"))
            for (const auto &[k, v] : table_at(*props, prefix + "properties")) {
                std::string key(k.str());
                s.at["properties." + key] = where(v.source());
                s.properties[key] = texts(v, prefix + "properties." + key);
            }
        for (const auto &[key, _] : s.settings)
            check_service_tag_name(t, prefix + "settings." + key, s.name, key);
        for (const auto &[key, _] : s.properties)
            check_service_tag_name(t, prefix + "properties." + key, s.name, key);
        s.inputs = points(t, prefix, "input");
        s.outputs = points(t, prefix, "output");
        return s;
    }

    // A setting is a number or true/false. Its tag is an integer unless a
    // [[tag]] declares it, and then the value must fit the declared type.
    ConfigValue setting(const toml::node &node, const std::string &key, const std::string &tag_name) const
    {
        ConfigValue v = value(node, key);
        if (std::holds_alternative<std::string>(v))
            error(node.source(), key, shown(v) + " is not a number or true/false");
        const TagDecl *declared = config_->tag(tag_name);
        uint16_t type = declared != nullptr ? declared->type : setting_tag_type(v);
        if (std::string why = unfit(v, type, declared != nullptr ? declared->size : 0); !why.empty())
            error(node.source(), key,
                  declared != nullptr ? why + ", as " + tag_name + " is declared under [[tag]]"
                                      : why + "; a setting is an integer unless its tag is declared under [[tag]]");
        return v;
    }

    void check_service_tag_name(const toml::table &t, const std::string &key, const std::string &service,
                                const std::string &setting) const
    {
        std::string name = "SERVICE." + service + "." + setting;
        if (name.size() > kMaxTagName)
            error(t.source(), key,
                  "tag name \"" + name + "\" is " + std::to_string(name.size()) + " characters; the limit is " +
                      std::to_string(kMaxTagName));
    }

    void read(const toml::table &root, NodeConfig &config)
    {
        config_ = &config;
        only(root, "", {"node", "tag", "service", "modbus", "ethercat", "app"});
        if (const toml::node *node = root.get("node")) {
            const toml::table &t = table_at(*node, "node");
            only(t, "node.", {"name"});
            config.name = text(t, "node.", "name", false, 63, "node name");
        }
        std::set<std::string> tag_names;
        each_table(root, "tag", [&](const toml::table &t, const std::string &prefix) {
            TagDecl d = tag(t, prefix);
            if (!tag_names.insert(d.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate tag \"" + d.name + "\"");
            config.tags.push_back(std::move(d));
        });
        std::set<std::string> names, short_names;
        each_table(root, "service", [&](const toml::table &t, const std::string &prefix) {
            ServiceDecl s = service(t, prefix);
            if (!names.insert(s.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate service \"" + s.name + "\"");
            if (!short_names.insert(s.short_name).second)
                error(t.source(), prefix + "short_name", "duplicate short name \"" + s.short_name + "\"");
            config.services.push_back(std::move(s));
        });
        if (clean())
            check_point_types(config);
        std::set<std::string> device_names;
        each_table(root, "modbus", [&](const toml::table &t, const std::string &prefix) {
            ModbusDecl d = modbus_device(t, prefix);
            if (!device_names.insert(d.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate Modbus device \"" + d.name + "\"");
            config.modbus.push_back(std::move(d));
        });
        std::set<std::string> master_names;
        each_table(root, "ethercat", [&](const toml::table &t, const std::string &prefix) {
            EthercatDecl d = ethercat_master(t, prefix);
            if (!master_names.insert(d.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate EtherCAT master \"" + d.name + "\"");
            config.ethercat.push_back(std::move(d));
        });
        std::set<std::string> app_names;
        each_table(root, "app", [&](const toml::table &t, const std::string &prefix) {
            AppDecl a = app(t, prefix);
            if (!app_names.insert(a.name).second)
                error(t.get("name")->source(), prefix + "name", "duplicate app \"" + a.name + "\"");
            config.apps.push_back(std::move(a));
        });
        if (clean())
            check_capacity(root, config);
    }

    ModbusDecl modbus_device(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "address", "port", "unit", "device", "baud", "parity", "data_bits", "stop_bits",
                         "timeout_ms", "allow", "max_connections"});
        ModbusDecl d;
        d.name = text(t, prefix, "name", true, 14, "Modbus device name");
        d.address = text(t, prefix, "address", false);
        d.device = text(t, prefix, "device", false);
        if (d.address.empty() == d.device.empty())
            error(t.source(), prefix + "address", "give either address (Modbus TCP) or device (Modbus RTU)");
        in_addr parsed{};
        if (!d.address.empty() && inet_pton(AF_INET, d.address.c_str(), &parsed) != 1)
            error(t.get("address")->source(), prefix + "address", "\"" + d.address + "\" is not an IPv4 address");
        d.port = static_cast<uint16_t>(integer(t, prefix, "port", false, 1, 65535, 502));
        d.unit = static_cast<uint8_t>(integer(t, prefix, "unit", false, 0, 255, d.device.empty() ? 255 : 1));
        d.baud = static_cast<uint32_t>(integer(t, prefix, "baud", false, 50, 4000000, 19200));
        std::string parity = text(t, prefix, "parity", false);
        if (parity.empty() || parity == "none")
            d.parity = 'N';
        else if (parity == "even")
            d.parity = 'E';
        else if (parity == "odd")
            d.parity = 'O';
        else
            error(t.get("parity")->source(), prefix + "parity", "expected \"none\", \"even\" or \"odd\"");
        d.data_bits = static_cast<uint8_t>(integer(t, prefix, "data_bits", false, 7, 8, 8));
        d.stop_bits = static_cast<uint8_t>(integer(t, prefix, "stop_bits", false, 1, 2, 1));
        d.timeout_ms = static_cast<uint32_t>(integer(t, prefix, "timeout_ms", false, 1, 600000, 1000));
        d.max_connections = static_cast<uint32_t>(integer(t, prefix, "max_connections", false, 1, 1024, 16));
        if (const toml::node *allow = t.get("allow")) {
            const toml::array *list = allow->as_array();
            if (list == nullptr)
                error(allow->source(), prefix + "allow", "expected a list of IPv4 addresses and networks: [\"10.0.0.5\", \"10.0.1.0/24\"]");
            for (const toml::node &entry : *list) {
                const auto *text = entry.as_string();
                uint32_t network = 0, mask = 0;
                if (text == nullptr || !parse_ipv4_network(text->get(), network, mask))
                    error(entry.source(), prefix + "allow", "expected an IPv4 address or network such as \"10.0.1.0/24\"");
                d.allow.push_back(text->get());
            }
        }
        return d;
    }

    AppDecl app(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "command"});
        AppDecl a;
        a.name = text(t, prefix, "name", true, 31, "app name");
        const toml::node *command = t.get("command");
        if (command == nullptr)
            error(t.source(), prefix + "command", "missing (a list: [\"program\", \"argument\", ...])");
        const toml::array *words = command->as_array();
        if (words == nullptr || words->empty())
            error(command->source(), prefix + "command", "expected a list of texts: [\"program\", \"argument\", ...]");
        for (const toml::node &word : *words) {
            const auto *w = word.as_string();
            if (w == nullptr)
                error(word.source(), prefix + "command", "every word of the command is a text");
            a.command.push_back(w->get());
        }
        a.command_at = where(command->source());
        return a;
    }

    std::string where(const toml::source_region &at) const
    {
        return path() + ":" + std::to_string(at.begin.line) + ":" + std::to_string(at.begin.column);
    }

    // A bus file named relative to the config is found beside it.
    EthercatDecl ethercat_master(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "bus", "interface"});
        EthercatDecl d;
        d.name = text(t, prefix, "name", true, kMaxEthercatName, "EtherCAT master name");
        for (char c : d.name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
                error(t.get("name")->source(), prefix + "name",
                      "\"" + d.name + "\" may only hold letters, digits, '_' and '-' (it becomes part of tag names)");
        d.interface = text(t, prefix, "interface", false, kMaxInterfaceName, "network interface name");
        if (t.get("interface") != nullptr && d.interface.empty())
            error(t.get("interface")->source(), prefix + "interface", "names no network interface");
        if (d.interface.empty() && t.get("bus") == nullptr)
            error(t.source(), prefix + "bus",
                  "missing: give bus = FILE (a simulated bus) or interface = NAME (a network interface)");
        d.bus = text(t, prefix, "bus", false);
        if (!d.bus.empty() && d.bus[0] != '/') {
            size_t slash = path().rfind('/');
            if (slash != std::string::npos)
                d.bus = path().substr(0, slash + 1) + d.bus;
        }
        return d;
    }

private:
    // A tag no [[tag]] declares gets the type its points give it: points that
    // give one tag two types (or sizes) cannot all be served.
    void check_point_types(const NodeConfig &config) const
    {
        struct First {
            uint16_t type;
            uint32_t size;
            std::string key;
        };
        std::map<std::string, First> seen;
        for (size_t i = 0; i < config.services.size(); ++i)
            for (const char *direction : {"input", "output"}) {
                const auto &points = std::string(direction) == "input" ? config.services[i].inputs
                                                                       : config.services[i].outputs;
                for (size_t n = 0; n < points.size(); ++n) {
                    const PointDecl &p = points[n];
                    if (p.type == 0 || config.tag(p.tag) != nullptr)
                        continue;
                    std::string key = "service[" + std::to_string(i) + "]." + direction + "[" + std::to_string(n) + "]";
                    auto [first, fresh] = seen.emplace(p.tag, First{p.type, p.size, key});
                    if (!fresh && (first->second.type != p.type || first->second.size != p.size))
                        errors_at(p.at, key + ".type",
                                  "tag " + p.tag + " is " + type_name(p.type) +
                                      (p.size != 0 ? " of " + std::to_string(p.size) + " bytes" : std::string()) +
                                      " here but " + type_name(first->second.type) +
                                      (first->second.size != 0 ? " of " + std::to_string(first->second.size) + " bytes"
                                                               : std::string()) +
                                      " at " + first->second.key + " (declare it under [[tag]] with one type)");
                }
            }
    }

    void errors_at(const std::string &at, const std::string &key, const std::string &what) const
    {
        keep(ConfigError{at + ": " + key + ": " + what});
    }

    // Everything the config creates must fit the store: a config that does
    // not is refused at the entry that goes past the limit.
    void check_capacity(const toml::table &root, const NodeConfig &config) const
    {
        std::set<std::string> names;
        uint64_t data = 0;
        auto add = [&](const std::string &name, const toml::source_region &where, const std::string &key,
                       uint64_t bytes) {
            if (!names.insert(name).second)
                return;
            if (names.size() > kTagCapacity)
                error(where, key, "this is tag " + std::to_string(names.size()) + "; the store holds " +
                                      std::to_string(kTagCapacity));
            data += bytes;
            if (data > kDataSize - kDataReserve)
                error(where, key,
                      "the segments and FIFOs of the config need " + std::to_string(data) +
                          " bytes by here; the store's data area holds " + std::to_string(kDataSize - kDataReserve));
        };
        const toml::array *tags = root.get("tag") != nullptr ? root.get("tag")->as_array() : nullptr;
        for (size_t i = 0; i < config.tags.size(); ++i) {
            const TagDecl &d = config.tags[i];
            add(d.name, (*tags)[i].source(), "tag[" + std::to_string(i) + "].name",
                area_bytes(d.type, d.size, d.depth));
        }
        const toml::array *services = root.get("service") != nullptr ? root.get("service")->as_array() : nullptr;
        for (size_t i = 0; i < config.services.size(); ++i) {
            const ServiceDecl &s = config.services[i];
            const toml::source_region &where = (*services)[i].source();
            std::string prefix = "service[" + std::to_string(i) + "].";
            for (const auto &[key, _] : s.settings)
                add("SERVICE." + s.name + "." + key, where, prefix + "settings." + key, 0);
            for (const auto &[key, _] : s.properties)
                add("SERVICE." + s.name + "." + key, where, prefix + "properties." + key, 0);
            for (const auto *points : {&s.inputs, &s.outputs})
                for (const PointDecl &p : *points)
                    add(p.tag, where, prefix + "input/output tag " + p.tag,
                        p.access_mode == KO_ACCESS_SEGMENT ? area_bytes(KO_TYPE_SEGMENT, p.size, 0) : 0);
        }
    }

    const NodeConfig *config_ = nullptr;
};

}  // namespace

// The integer type a setting of that value gets when no [[tag]] declares it.
uint16_t setting_tag_type(const ConfigValue &value)
{
    if (std::holds_alternative<bool>(value))
        return KO_TYPE_U8;
    double d = std::holds_alternative<double>(value) ? std::get<double>(value)
                                                     : static_cast<double>(std::get<int64_t>(value));
    if (d >= INT32_MIN && d <= INT32_MAX)
        return KO_TYPE_I32;
    return d >= 0 && d <= 4294967295.0 ? KO_TYPE_U32 : KO_TYPE_I64;
}

const TagDecl *NodeConfig::tag(const std::string &tag_name) const
{
    for (const TagDecl &t : tags)
        if (t.name == tag_name)
            return &t;
    return nullptr;
}

const ModbusDecl *NodeConfig::modbus_device(const std::string &device_name) const
{
    for (const ModbusDecl &d : modbus)
        if (d.name == device_name)
            return &d;
    return nullptr;
}

const EthercatDecl *NodeConfig::ethercat_master(const std::string &master_name) const
{
    for (const EthercatDecl &d : ethercat)
        if (d.name == master_name)
            return &d;
    return nullptr;
}

const ServiceDecl *NodeConfig::service(const std::string &service_name) const
{
    for (const ServiceDecl &s : services)
        if (s.name == service_name)
            return &s;
    return nullptr;
}

uint16_t type_code(const std::string &name)
{
    for (const TypeName &t : kTypes)
        if (name == t.name)
            return t.code;
    return 0;
}

const char *type_name(uint16_t code)
{
    if (code == KO_TYPE_SEGMENT13)
        return "segment";
    for (const TypeName &t : kTypes)
        if (t.code == code)
            return t.name;
    return "?";
}

bool parse_ipv4_network(const std::string &text, uint32_t &network, uint32_t &mask)
{
    size_t slash = text.find('/');
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &a) != 1)
        return false;
    int bits = 32;
    if (slash != std::string::npos) {
        std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = std::stoi(digits);
        if (bits > 32)
            return false;
    }
    mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    network = ntohl(a.s_addr) & mask;
    return true;
}

bool parse_tcp_address(const std::string &text, std::string &ip, int &port)
{
    size_t colon = text.find(':');
    ip = text.substr(0, colon);
    port = 502;
    in_addr parsed{};
    if (inet_pton(AF_INET, ip.c_str(), &parsed) != 1)
        return false;
    if (colon == std::string::npos)
        return true;
    char *end = nullptr;
    long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    port = end != nullptr && *end == '\0' && p > 0 && p < 65536 ? static_cast<int>(p) : 0;
    return true;
}

int bind_tcp_address(const std::string &ip, int port, int socket_flags)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | socket_flags, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &at.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string node_config_path()
{
    return std::string(RtNodeDirectory()) + "/node.toml";
}

bool parse_node_config(const std::string &text, const std::string &path, NodeConfig &config, std::string &error)
{
    config = NodeConfig{};
    Reader reader(path);
    if (parse_toml(text, path, error, reader, [&](const toml::table &root) { reader.read(root, config); }))
        return true;
    config = NodeConfig{};
    return false;
}

bool node_config_absent(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool load_node_config(const std::string &path, NodeConfig &config, std::string &error)
{
    config = NodeConfig{};
    std::string text;
    return read_regular_file(path, "node config", text, error) && parse_node_config(text, path, config, error);
}

}  // namespace ko
