// service.cpp - the data this library exports to the process that hosts a
// service: its names and the tables of its I/O points, filled when the
// library is loaded from KO_SERVICE and the node config; and the seeding of
// a new store from the node config.
#include "service.h"

#include "node_config.h"
#include "store.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
char KoServiceName[KO_SERVICE_NAME_SIZE];
char KoServiceShortName[KO_SERVICE_SHORT_NAME_SIZE];
char KoServiceStatusTag[KO_TAG_NAME_SIZE];
char KoServiceErrorTag[KO_TAG_NAME_SIZE];
char KoServiceRunTag[KO_TAG_NAME_SIZE];
char KoServiceLiveTag[KO_TAG_NAME_SIZE];
TagRef *TagRefs_IN;
TagRef *TagRefs_Out;
PortTag *KoInPortTags;
PortTag *KoOutPortTags;
int32_t KoInPortCount;
int32_t KoOutPortCount;
}

namespace ko {
namespace {

struct PointTables {
    std::vector<TagRef> refs;
    std::vector<PortTag> ports;
};
PointTables &input_tables()
{
    static PointTables tables;
    return tables;
}
PointTables &output_tables()
{
    static PointTables tables;
    return tables;
}

template <size_t N>
void copy_name(char (&to)[N], const std::string &from)
{
    std::memset(to, 0, N);
    std::memcpy(to, from.data(), from.size() < N ? from.size() : N - 1);
}

std::string failure(const std::string &tag, const char *what, uint32_t status)
{
    return node_config_path() + ": tag " + tag + ": " + what + ": " + KoStatusText(status);
}

// Creates a tag from its declaration, with its value, description and
// properties; false with the reason.
bool create_declared(const TagDecl &d, std::string &error)
{
    uint32_t status;
    const char *description = d.description.c_str();
    if (d.type == KO_TYPE_SEGMENT)
        status = KoTagCreateSegment(d.name.c_str(), d.type, d.size, nullptr, description, nullptr, 0, nullptr);
    else if (d.type == KO_TYPE_FIFO)
        status = KoTagCreateFIFO(d.name.c_str(), d.size, d.depth, nullptr, description, nullptr, 0, nullptr);
    else
        status = KoTagCreateEx(d.name.c_str(), d.type, nullptr, description);
    if (status == KO_OK && d.value)
        if (status = write_config_value(d.name, *d.value); status != KO_OK) {
            error = failure(d.name, "initial value", status);
            return false;
        }
    for (const auto &[property, text] : d.properties)
        if (status == KO_OK)
            status = KoTagSetProperty(d.name.c_str(), property.c_str(), text.c_str());
    if (status != KO_OK)
        error = failure(d.name, "creation", status);
    return status == KO_OK;
}

bool tag_exists(const std::string &name)
{
    uint32_t entry = 0;
    return KoTagGetProperty(name.c_str(), "Entry", &entry, sizeof entry) == KO_OK;
}

// The type and size a point's tag gets when it is not declared.
void point_tag_shape(const PointDecl &p, uint16_t &type, uint32_t &size)
{
    type = p.type;
    size = p.size;
    if (type == 0)
        type = p.access_mode == KO_ACCESS_SEGMENT ? KO_TYPE_SEGMENT : p.access_mode == KO_ACCESS_BIT ? KO_TYPE_U8 : KO_TYPE_I32;
    if (is_value_type(type))
        size = value_size(type);
}

void build_points(const std::vector<PointDecl> &decls, const NodeConfig &config, PointTables &tables)
{
    tables.refs.assign(decls.size(), TagRef{});
    tables.ports.assign(decls.size(), PortTag{});
    for (size_t i = 0; i < decls.size(); ++i) {
        const PointDecl &p = decls[i];
        uint16_t type;
        uint32_t size;
        if (const TagDecl *d = config.tag(p.tag)) {
            type = d->type;
            size = is_value_type(d->type) ? value_size(d->type) : d->size;
        } else {
            point_tag_shape(p, type, size);
            uint32_t status = is_segment_type(type)
                                  ? KoTagCreateSegment(p.tag.c_str(), type, size, nullptr, nullptr, nullptr, 0, nullptr)
                                  : KoTagCreateEx(p.tag.c_str(), type, nullptr, nullptr);
            if (status != KO_OK && status != KO_E_EXISTS)
                std::fprintf(stderr, "kohgapi: I/O point tag %s: %s\n", p.tag.c_str(), KoStatusText(status));
        }
        TagRef &ref = tables.refs[i];
        PortTag &port = tables.ports[i];
        copy_name(ref.tag_name, p.tag);
        copy_name(port.tag_name, p.tag);
        ref.port_index = static_cast<int32_t>(i);
        ref.address = p.address;
        ref.access_mode = p.access_mode;
        ref.bit_number = p.bit;
        ref.item_width = p.item_width;
        ref.enabled = p.enabled ? 1 : 0;
        // The tag as the store has it, which may predate the config.
        uint32_t entry = 0, real_type = type;
        KoTagGetProperty(p.tag.c_str(), "Entry", &entry, sizeof entry);
        KoTagGetProperty(p.tag.c_str(), "Type", &real_type, sizeof real_type);
        KoTagGetProperty(p.tag.c_str(), "Size", &size, sizeof size);
        type = static_cast<uint16_t>(real_type);
        if ((type == KO_TYPE_FIFO && size > 8) || size > kSegmentPointMax) {
            std::fprintf(stderr, "kohgapi: I/O point tag %s is a %s of %u bytes, which no point can move; disabled\n",
                         p.tag.c_str(), type_name(type), size);
            ref.enabled = 0;
        }
        port.data_type = type;
        port.data_size = static_cast<uint16_t>(size);
        port.entry = entry;
    }
}

}  // namespace

uint32_t write_config_value(const std::string &tag, const ConfigValue &value)
{
    KoTagInfo info{};
    uint32_t entry = 0;
    if (KoTagGetProperty(tag.c_str(), "Entry", &entry, sizeof entry) != KO_OK || KoTagGetInfo(entry, &info) != KO_OK)
        return KO_E_NOT_FOUND;
    if (const auto *text = std::get_if<std::string>(&value))
        return is_segment_type(info.type)
                   ? KoTagWriteSegment(entry, 0, text->data(),
                                       static_cast<uint32_t>(text->size() < info.size ? text->size() : info.size))
                   : KO_E_KIND;
    int64_t as_int = 0;
    if (const auto *i = std::get_if<int64_t>(&value))
        as_int = *i;
    else if (const auto *b = std::get_if<bool>(&value))
        as_int = *b ? 1 : 0;
    else {
        double d = std::get<double>(value);
        if (info.type == KO_TYPE_F32) {
            float f = static_cast<float>(d);
            return KoTagWriteByEntry(entry, &f, 4);
        }
        if (info.type == KO_TYPE_F64)
            return KoTagWriteByEntry(entry, &d, 8);
        if (static_cast<double>(static_cast<int64_t>(d)) != d)
            return KO_E_RANGE;
        as_int = static_cast<int64_t>(d);
    }
    if (info.type == KO_TYPE_F32) {
        float f = static_cast<float>(as_int);
        return KoTagWriteByEntry(entry, &f, 4);
    }
    if (info.type == KO_TYPE_F64) {
        double d = static_cast<double>(as_int);
        return KoTagWriteByEntry(entry, &d, 8);
    }
    return KoTagWriteByEntry(entry, &as_int, 8);
}

bool seed_from_node_config(std::string &error)
{
    NodeConfig config;
    std::string path = node_config_path();
    if (node_config_absent(path))
        return true;
    if (!load_node_config(path, config, error))
        return false;
    for (const TagDecl &d : config.tags)
        if (!create_declared(d, error))
            return false;
    for (const ServiceDecl &service : config.services) {
        for (const auto &[key, value] : service.settings) {
            std::string name = "SERVICE." + service.name + "." + key;
            uint32_t status = KO_OK;
            if (config.tag(name) == nullptr)
                status = KoTagCreateEx(name.c_str(), setting_tag_type(value), nullptr, nullptr);
            if (status == KO_OK)
                status = write_config_value(name, value);
            if (status != KO_OK) {
                error = failure(name, "setting", status);
                return false;
            }
        }
        for (const auto &[key, properties] : service.properties) {
            std::string name = "SERVICE." + service.name + "." + key;
            uint32_t status = tag_exists(name) ? KO_OK : KoTagCreateEx(name.c_str(), KO_TYPE_U8, nullptr, nullptr);
            for (const auto &[property, text] : properties)
                if (status == KO_OK)
                    status = KoTagSetProperty(name.c_str(), property.c_str(), text.c_str());
            if (status != KO_OK) {
                error = failure(name, "property", status);
                return false;
            }
        }
    }
    return true;
}

namespace {

// The config the hosted service was named from. Built on first use: the
// names are bound from a constructor that may run before this file's statics.
NodeConfig &hosted_config()
{
    static NodeConfig config;
    return config;
}

}  // namespace

void bind_service_names(const std::string &name)
{
    copy_name(KoServiceName, name);
    copy_name(KoServiceShortName, name.substr(0, kMaxShortName));
    input_tables() = PointTables{};
    output_tables() = PointTables{};
    NodeConfig &config = hosted_config();
    config = NodeConfig{};
    std::string error;
    std::string path = node_config_path();
    if (!node_config_absent(path) && !load_node_config(path, config, error))
        std::fprintf(stderr, "kohgapi: %s\n", error.c_str());
    if (const ServiceDecl *service = config.service(name))
        copy_name(KoServiceShortName, service->short_name);
    std::snprintf(KoServiceStatusTag, sizeof KoServiceStatusTag, "SERVICE.%s.Status", KoServiceName);
    std::snprintf(KoServiceErrorTag, sizeof KoServiceErrorTag, "SERVICE.%s.Error", KoServiceName);
    std::snprintf(KoServiceRunTag, sizeof KoServiceRunTag, "SERVICE.%s.Run", KoServiceName);
    std::snprintf(KoServiceLiveTag, sizeof KoServiceLiveTag, "SERVICE.%s.Live", KoServiceName);
    TagRefs_IN = TagRefs_Out = nullptr;
    KoInPortTags = KoOutPortTags = nullptr;
    KoInPortCount = KoOutPortCount = 0;
}

void build_service_points()
{
    const ServiceDecl *service = hosted_config().service(KoServiceName);
    if (service == nullptr)
        return;
    PointTables &inputs = input_tables(), &outputs = output_tables();
    build_points(service->inputs, hosted_config(), inputs);
    build_points(service->outputs, hosted_config(), outputs);
    TagRefs_IN = inputs.refs.empty() ? nullptr : inputs.refs.data();
    KoInPortTags = inputs.ports.empty() ? nullptr : inputs.ports.data();
    KoInPortCount = static_cast<int32_t>(inputs.refs.size());
    TagRefs_Out = outputs.refs.empty() ? nullptr : outputs.refs.data();
    KoOutPortTags = outputs.ports.empty() ? nullptr : outputs.ports.data();
    KoOutPortCount = static_cast<int32_t>(outputs.refs.size());
}

void bind_service(const std::string &name)
{
    bind_service_names(name);
    build_service_points();
}

std::string service_name_problem(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return "KO_SERVICE is not set: it names the service this process hosts";
    size_t length = std::strlen(name);
    if (length > kMaxServiceName)
        return "KO_SERVICE \"" + std::string(name) + "\" is " + std::to_string(length) +
               " characters; the limit for a service name is " + std::to_string(kMaxServiceName);
    for (const char *p = name; *p != '\0'; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '_' && *p != '-')
            return "KO_SERVICE \"" + std::string(name) +
                   "\" is not a service name: use letters, digits, '_' and '-'";
    return {};
}

}  // namespace ko

extern "C" void KoServiceBindNames(const char *service_name)
{
    ko::bind_service_names(service_name != nullptr ? service_name : "");
}

extern "C" void KoServiceBind(const char *service_name)
{
    ko::bind_service(service_name != nullptr ? service_name : "");
}

namespace {

// A hosted service is named by KO_SERVICE; other programs (tools) have none.
// Only names are bound here: nothing touches the store before the service
// registers.
__attribute__((constructor)) void bind_hosted_service()
{
    const char *name = std::getenv("KO_SERVICE");
    if (name == nullptr || !ko::service_name_problem(name).empty())
        return;
    ko::bind_service_names(name);
}

}  // namespace
