// service.cpp - the data this library exports to the process that hosts a
// service: its names and the tables of its I/O points, filled when the
// library is loaded from KO_SERVICE and the node config; and the seeding of
// a new store from the node config.
#include "service.h"

#include "node_config.h"
#include "store.h"

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
PointTables inputs, outputs;

template <size_t N>
void copy_name(char (&to)[N], const std::string &from)
{
    std::memset(to, 0, N);
    std::memcpy(to, from.data(), from.size() < N ? from.size() : N - 1);
}

// Creates a tag from its declaration, with its value, description and properties.
void create_declared(const TagDecl &d)
{
    uint32_t status;
    char work[128];
    if (d.type == KO_TYPE_SEGMENT)
        status = KoTagCreateSegment(d.name.c_str(), d.type, d.size, nullptr, d.description.c_str(), work, sizeof work,
                                    nullptr);
    else if (d.type == KO_TYPE_FIFO)
        status = KoTagCreateFIFO(d.name.c_str(), d.size, d.depth, nullptr, d.description.c_str(), work, sizeof work,
                                 nullptr);
    else
        status = KoTagCreateEx(d.name.c_str(), d.type, nullptr, d.description.c_str());
    if (status != KO_OK) {
        std::fprintf(stderr, "kohgapi: tag %s: %s\n", d.name.c_str(), KoStatusText(status));
        return;
    }
    if (d.value)
        if (uint32_t st = write_config_value(d.name, *d.value); st != KO_OK)
            std::fprintf(stderr, "kohgapi: tag %s: initial value: %s\n", d.name.c_str(), KoStatusText(st));
    for (const auto &[property, text] : d.properties)
        KoTagSetProperty(d.name.c_str(), property.c_str(), text.c_str());
}

// The type and size a point's tag gets when it is not declared.
void point_tag_shape(const PointDecl &p, uint16_t &type, uint32_t &size)
{
    type = p.type;
    size = p.size;
    if (type == 0)
        type = p.access_mode == 3 ? KO_TYPE_SEGMENT : p.access_mode == 1 ? KO_TYPE_U8 : KO_TYPE_I32;
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
        uint32_t entry = 0;
        KoTagGetProperty(p.tag.c_str(), "Entry", &entry, sizeof entry);
        KoTagGetProperty(p.tag.c_str(), "Type", &type, sizeof(uint16_t));
        KoTagGetProperty(p.tag.c_str(), "Size", &size, sizeof size);
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

void seed_from_node_config()
{
    NodeConfig config;
    std::string error;
    std::string path = node_config_path();
    if (!load_node_config(path, config, error)) {
        if (FILE *f = std::fopen(path.c_str(), "r")) {  // a missing config is no error
            std::fclose(f);
            std::fprintf(stderr, "kohgapi: %s\n", error.c_str());
        }
        return;
    }
    for (const TagDecl &d : config.tags)
        create_declared(d);
    for (const ServiceDecl &service : config.services) {
        for (const auto &[key, value] : service.settings) {
            std::string name = "SERVICE." + service.name + "." + key;
            uint16_t type = std::holds_alternative<double>(value) ? KO_TYPE_F32
                            : std::holds_alternative<bool>(value) ? KO_TYPE_U8
                                                                  : KO_TYPE_I32;
            if (KoTagCreateEx(name.c_str(), type, nullptr, nullptr) == KO_OK)
                write_config_value(name, value);
        }
        for (const auto &[key, properties] : service.properties) {
            std::string name = "SERVICE." + service.name + "." + key;
            KoTagCreateEx(name.c_str(), KO_TYPE_U8, nullptr, nullptr);
            for (const auto &[property, text] : properties)
                KoTagSetProperty(name.c_str(), property.c_str(), text.c_str());
        }
    }
}

void bind_service(const std::string &name)
{
    copy_name(KoServiceName, name);
    copy_name(KoServiceShortName, name.substr(0, kMaxShortName));
    inputs = PointTables{};
    outputs = PointTables{};
    NodeConfig config;
    std::string error;
    std::string path = node_config_path();
    if (load_node_config(path, config, error)) {
        if (const ServiceDecl *service = config.service(name)) {
            copy_name(KoServiceShortName, service->short_name);
            build_points(service->inputs, config, inputs);
            build_points(service->outputs, config, outputs);
        }
    } else if (FILE *f = std::fopen(path.c_str(), "r")) {
        std::fclose(f);
        std::fprintf(stderr, "kohgapi: %s\n", error.c_str());
    }
    std::snprintf(KoServiceStatusTag, sizeof KoServiceStatusTag, "SERVICE.%s.Status", KoServiceName);
    std::snprintf(KoServiceErrorTag, sizeof KoServiceErrorTag, "SERVICE.%s.Error", KoServiceName);
    std::snprintf(KoServiceRunTag, sizeof KoServiceRunTag, "SERVICE.%s.Run", KoServiceName);
    std::snprintf(KoServiceLiveTag, sizeof KoServiceLiveTag, "SERVICE.%s.Live", KoServiceName);
    TagRefs_IN = inputs.refs.empty() ? nullptr : inputs.refs.data();
    KoInPortTags = inputs.ports.empty() ? nullptr : inputs.ports.data();
    KoInPortCount = static_cast<int32_t>(inputs.refs.size());
    TagRefs_Out = outputs.refs.empty() ? nullptr : outputs.refs.data();
    KoOutPortTags = outputs.ports.empty() ? nullptr : outputs.ports.data();
    KoOutPortCount = static_cast<int32_t>(outputs.refs.size());
}

}  // namespace ko

namespace {

// A hosted service is named by KO_SERVICE; other programs (tools) have none.
__attribute__((constructor)) void bind_hosted_service()
{
    const char *name = std::getenv("KO_SERVICE");
    if (name == nullptr || name[0] == '\0')
        return;
    if (std::strlen(name) > ko::kMaxServiceName) {
        std::fprintf(stderr, "kohgapi: KO_SERVICE \"%s\" is %zu characters; the limit for a service name is %zu\n",
                     name, std::strlen(name), ko::kMaxServiceName);
        return;
    }
    ko::bind_service(name);
}

}  // namespace
