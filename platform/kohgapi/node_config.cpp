// node_config.cpp - reads the node config with toml++. Unknown keys are
// refused; limits are checked here, before any name reaches a fixed buffer.
#include "node_config.h"

#include "rt.h"

#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

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

// Thrown inside this file only; load_node_config turns it into its message.
struct ConfigError {
    std::string message;
};

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void error(const toml::source_region &where, const std::string &key, const std::string &what) const
    {
        std::ostringstream out;
        out << path_ << ":" << where.begin.line << ":" << where.begin.column << ": " << key << ": " << what;
        throw ConfigError{out.str()};
    }

    // Refuses keys of a table that are not in allowed.
    void only(const toml::table &table, const std::string &prefix, std::initializer_list<const char *> allowed) const
    {
        for (const auto &[key, node] : table) {
            bool known = false;
            for (const char *a : allowed)
                known = known || key.str() == a;
            if (!known)
                error(key.source(), prefix + std::string(key.str()), "unknown key");
        }
    }

    const toml::table &table_at(const toml::node &node, const std::string &key) const
    {
        if (const toml::table *t = node.as_table())
            return *t;
        error(node.source(), key, "expected a table");
    }

    std::string text(const toml::table &t, const std::string &prefix, const char *key, bool required,
                     size_t limit = 0, const char *limit_name = nullptr) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr) {
            if (required)
                error(t.source(), prefix + key, "missing");
            return {};
        }
        const auto *s = node->as_string();
        if (s == nullptr)
            error(node->source(), prefix + key, "expected a text");
        std::string value = s->get();
        if (limit != 0 && value.size() > limit)
            error(node->source(), prefix + key,
                  std::string(limit_name) + " \"" + value + "\" is " + std::to_string(value.size()) +
                      " characters; the limit is " + std::to_string(limit));
        return value;
    }

    int64_t integer(const toml::table &t, const std::string &prefix, const char *key, bool required, int64_t low,
                    int64_t high, int64_t fallback) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr) {
            if (required)
                error(t.source(), prefix + key, "missing");
            return fallback;
        }
        const auto *i = node->as_integer();
        if (i == nullptr)
            error(node->source(), prefix + key, "expected an integer");
        if (i->get() < low || i->get() > high)
            error(node->source(), prefix + key,
                  std::to_string(i->get()) + " is out of range " + std::to_string(low) + " to " + std::to_string(high));
        return i->get();
    }

    bool boolean(const toml::table &t, const std::string &prefix, const char *key, bool fallback) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr)
            return fallback;
        const auto *b = node->as_boolean();
        if (b == nullptr)
            error(node->source(), prefix + key, "expected true or false");
        return b->get();
    }

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

    std::map<std::string, std::string> texts(const toml::node &node, const std::string &key) const
    {
        std::map<std::string, std::string> out;
        for (const auto &[k, v] : table_at(node, key)) {
            const auto *s = v.as_string();
            if (s == nullptr)
                error(v.source(), key + "." + std::string(k.str()), "expected a text");
            out[std::string(k.str())] = s->get();
        }
        return out;
    }

    TagDecl tag(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "type", "value", "description", "size", "record_size", "depth", "properties"});
        TagDecl d;
        d.name = text(t, prefix, "name", true, kMaxTagName, "tag name");
        d.type = type(t, prefix, true);
        d.description = text(t, prefix, "description", false);
        if (d.type == 12) {
            d.size = static_cast<uint32_t>(integer(t, prefix, "size", true, 1, 1 << 20, 0));
        } else if (d.type == 14) {
            d.size = static_cast<uint32_t>(integer(t, prefix, "record_size", true, 1, 4096, 0));
            d.depth = static_cast<uint32_t>(integer(t, prefix, "depth", true, 1, 65536, 0));
        }
        if (const toml::node *v = t.get("value"))
            d.value = value(*v, prefix + "value");
        if (const toml::node *p = t.get("properties"))
            d.properties = texts(*p, prefix + "properties");
        return d;
    }

    PointDecl point(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"tag", "address", "access", "bit", "item_width", "enabled", "type", "size"});
        PointDecl p;
        p.tag = text(t, prefix, "tag", true, kMaxTagName, "tag name");
        p.address = static_cast<uint32_t>(integer(t, prefix, "address", true, 0, 0xFFFFFFFFll, 0));
        std::string access = text(t, prefix, "access", true);
        if (access == "bit")
            p.access_mode = 1;
        else if (access == "value")
            p.access_mode = 2;
        else if (access == "segment")
            p.access_mode = 3;
        else
            error(t.get("access")->source(), prefix + "access", "expected \"bit\", \"value\" or \"segment\"");
        p.bit = static_cast<uint16_t>(integer(t, prefix, "bit", false, 0, 15, 0));
        p.item_width = static_cast<uint16_t>(integer(t, prefix, "item_width", false, 0, 16, 1));
        p.enabled = boolean(t, prefix, "enabled", true);
        p.type = type(t, prefix, false);
        p.size = static_cast<uint32_t>(integer(t, prefix, "size", false, 1, 1 << 20, 0));
        return p;
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
        for (size_t i = 0; i < array->size(); ++i)
            out.push_back(point(table_at((*array)[i], prefix + key),
                                prefix + key + "[" + std::to_string(i) + "]."));
        return out;
    }

    ServiceDecl service(const toml::table &t, const std::string &prefix) const
    {
        only(t, prefix, {"name", "short_name", "driver", "autostart", "settings", "properties", "input", "output"});
        ServiceDecl s;
        s.name = text(t, prefix, "name", true, kMaxServiceName, "service name");
        if (s.name.empty())
            error(t.get("name")->source(), prefix + "name", "a service name cannot be empty");
        s.short_name = text(t, prefix, "short_name", false, kMaxShortName, "short name");
        if (s.short_name.empty())
            s.short_name = s.name.substr(0, kMaxShortName);
        s.driver = text(t, prefix, "driver", false);
        s.autostart = boolean(t, prefix, "autostart", false);
        if (const toml::node *settings = t.get("settings"))
            for (const auto &[k, v] : table_at(*settings, prefix + "settings"))
                s.settings.emplace_back(std::string(k.str()), value(v, prefix + "settings." + std::string(k.str())));
        if (const toml::node *props = t.get("properties"))
            for (const auto &[k, v] : table_at(*props, prefix + "properties"))
                s.properties[std::string(k.str())] = texts(v, prefix + "properties." + std::string(k.str()));
        for (const auto &[key, _] : s.settings)
            check_service_tag_name(t, prefix + "settings." + key, s.name, key);
        for (const auto &[key, _] : s.properties)
            check_service_tag_name(t, prefix + "properties." + key, s.name, key);
        s.inputs = points(t, prefix, "input");
        s.outputs = points(t, prefix, "output");
        return s;
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

    void read(const toml::table &root, NodeConfig &config) const
    {
        only(root, "", {"node", "tag", "service"});
        if (const toml::node *node = root.get("node")) {
            const toml::table &t = table_at(*node, "node");
            only(t, "node.", {"name"});
            config.name = text(t, "node.", "name", false, 63, "node name");
        }
        std::set<std::string> tag_names;
        if (const toml::node *tags = root.get("tag")) {
            const auto *array = tags->as_array();
            if (array == nullptr)
                error(tags->source(), "tag", "expected [[tag]] tables");
            for (size_t i = 0; i < array->size(); ++i) {
                std::string prefix = "tag[" + std::to_string(i) + "].";
                const toml::table &t = table_at((*array)[i], prefix);
                TagDecl d = tag(t, prefix);
                if (!tag_names.insert(d.name).second)
                    error(t.get("name")->source(), prefix + "name", "duplicate tag \"" + d.name + "\"");
                config.tags.push_back(std::move(d));
            }
        }
        std::set<std::string> names, short_names;
        if (const toml::node *services = root.get("service")) {
            const auto *array = services->as_array();
            if (array == nullptr)
                error(services->source(), "service", "expected [[service]] tables");
            for (size_t i = 0; i < array->size(); ++i) {
                std::string prefix = "service[" + std::to_string(i) + "].";
                const toml::table &t = table_at((*array)[i], prefix);
                ServiceDecl s = service(t, prefix);
                if (!names.insert(s.name).second)
                    error(t.get("name")->source(), prefix + "name", "duplicate service \"" + s.name + "\"");
                if (!short_names.insert(s.short_name).second)
                    error(t.source(), prefix + "short_name", "duplicate short name \"" + s.short_name + "\"");
                config.services.push_back(std::move(s));
            }
        }
    }

private:
    std::string path_;
};

}  // namespace

const TagDecl *NodeConfig::tag(const std::string &tag_name) const
{
    for (const TagDecl &t : tags)
        if (t.name == tag_name)
            return &t;
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
    if (code == 13)
        return "segment";
    for (const TypeName &t : kTypes)
        if (t.code == code)
            return t.name;
    return "?";
}

std::string node_config_path()
{
    return std::string(RtNodeDirectory()) + "/node.toml";
}

bool parse_node_config(const std::string &text, const std::string &path, NodeConfig &config, std::string &error)
{
    config = NodeConfig{};
    try {
        toml::table root = toml::parse(text, path);
        Reader(path).read(root, config);
        return true;
    } catch (const toml::parse_error &e) {
        std::ostringstream out;
        out << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": syntax: "
            << e.description();
        error = out.str();
    } catch (const ConfigError &e) {
        error = e.message;
    }
    config = NodeConfig{};
    return false;
}

bool load_node_config(const std::string &path, NodeConfig &config, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    return parse_node_config(buffer.str(), path, config, error);
}

}  // namespace ko
