// tags.cpp - creating tags, their properties, and the listing calls the
// tools use. None of these is on a cyclic path.
#include "store.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

using namespace ko;

uint32_t create_described(const char *name, uint16_t type, uint32_t size, uint32_t depth, const char *source,
                          const char *description, char *work, uint32_t work_size, uint32_t *entry_out)
{
    Store *s = store();
    uint32_t entry = 0;
    uint32_t status = s == nullptr ? KO_E_STORE : create_tag(s, name, type, size, depth, source, description, &entry);
    if (status != KO_OK && work != nullptr && work_size > 0)
        std::snprintf(work, work_size, "%s: %s", name != nullptr ? name : "(null)", KoStatusText(status));
    if (status == KO_OK && entry_out != nullptr)
        *entry_out = entry;
    return status;
}

void copy_text(const std::string &text, void *buffer, uint32_t size)
{
    size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    static_cast<char *>(buffer)[n] = '\0';
}

}  // namespace

extern "C" uint32_t KoTagCreateEx(const char *name, uint32_t type, const char *source, const char *description)
{
    if (!is_value_type(static_cast<uint16_t>(type)))
        return KO_E_TYPE;  // segments and FIFOs have calls of their own, with their sizes
    return create_described(name, static_cast<uint16_t>(type), value_size(static_cast<uint16_t>(type)), 0, source,
                            description, nullptr, 0, nullptr);
}

extern "C" uint32_t KoTagCreateSegment(const char *name, uint32_t type, uint32_t size, const char *source,
                                       const char *description, char *work, uint32_t work_size, uint32_t *entry)
{
    if (!is_segment_type(static_cast<uint16_t>(type)))
        return KO_E_TYPE;
    if (size == 0)
        return KO_E_SIZE;
    return create_described(name, static_cast<uint16_t>(type), size, 0, source, description, work, work_size, entry);
}

extern "C" uint32_t KoTagCreateFIFO(const char *name, uint32_t record_size, uint32_t depth, const char *source,
                                    const char *description, char *work, uint32_t work_size, uint32_t *entry)
{
    if (record_size == 0 || depth == 0)
        return KO_E_SIZE;
    return create_described(name, KO_TYPE_FIFO, record_size, depth, source, description, work, work_size, entry);
}

extern "C" uint32_t KoTagGetProperty(const char *name, const char *property, void *buffer, uint32_t size)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (name == nullptr || property == nullptr || buffer == nullptr || size == 0)
        return KO_E_ARGUMENT;
    uint32_t entry = find_tag(s, name);
    if (entry == 0)
        return KO_E_NOT_FOUND;
    TagSlot *t = slot_of(s, entry);
    uint32_t number;
    if (strcasecmp(property, "Entry") == 0)
        number = entry;
    else if (strcasecmp(property, "Type") == 0)
        number = t->type;
    else if (strcasecmp(property, "Size") == 0)
        number = t->size;
    else {
        std::string text;
        if (!get_property(s, t, property, text))
            return KO_E_PROPERTY;
        copy_text(text, buffer, size);
        return KO_OK;
    }
    if (size < sizeof number)
        return KO_E_SIZE;
    std::memcpy(buffer, &number, sizeof number);
    return KO_OK;
}

extern "C" uint32_t KoTagSetProperty(const char *name, const char *property, const char *text)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (name == nullptr || property == nullptr)
        return KO_E_ARGUMENT;
    uint32_t entry = find_tag(s, name);
    if (entry == 0)
        return KO_E_NOT_FOUND;
    if (strcasecmp(property, "Entry") == 0 || strcasecmp(property, "Type") == 0 || strcasecmp(property, "Size") == 0)
        return KO_E_PROPERTY;  // these belong to the store
    return set_property(s, slot_of(s, entry), property, text);
}

extern "C" uint32_t KoTagCount(void)
{
    Store *s = store();
    return s == nullptr ? 0 : s->header->tag_count.load(std::memory_order_acquire);
}

extern "C" uint32_t KoTagGetInfo(uint32_t entry, KoTagInfo *info)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    if (info == nullptr)
        return KO_E_ARGUMENT;
    std::memcpy(info->name, t->name, sizeof info->name);
    info->name[sizeof info->name - 1] = '\0';
    info->type = t->type;
    info->size = t->size;
    info->depth = t->depth;
    return KO_OK;
}

extern "C" const char *KoStatusText(uint32_t status)
{
    switch (status) {
    case KO_OK: return "KO_OK";
    case KO_E_FIFO_EMPTY: return "KO_E_FIFO_EMPTY (FIFO empty)";
    case KO_E_FIFO_FULL: return "KO_E_FIFO_FULL (FIFO full)";
    case KO_E_NOT_FOUND: return "KO_E_NOT_FOUND (no such tag)";
    case KO_E_ENTRY: return "KO_E_ENTRY (no tag has this entry)";
    case KO_E_SIZE: return "KO_E_SIZE (size does not suit the tag)";
    case KO_E_RANGE: return "KO_E_RANGE (value does not fit the tag's type)";
    case KO_E_KIND: return "KO_E_KIND (wrong kind of tag for this call)";
    case KO_E_NAME: return "KO_E_NAME (name empty or longer than 51 characters)";
    case KO_E_EXISTS: return "KO_E_EXISTS (exists with another type)";
    case KO_E_SERVED: return "KO_E_SERVED (the service is served by another process)";
    case KO_E_NO_SERVICE: return "KO_E_NO_SERVICE (KO_SERVICE names no service)";
    case KO_E_FULL: return "KO_E_FULL (tag store full)";
    case KO_E_STORE: return "KO_E_STORE (tag store unusable)";
    case KO_E_ARGUMENT: return "KO_E_ARGUMENT (bad argument)";
    case KO_E_PROPERTY: return "KO_E_PROPERTY (no such property)";
    case KO_E_TYPE: return "KO_E_TYPE (unknown type code)";
    case KO_E_MAILBOX: return "KO_E_MAILBOX (no such mailbox or service)";
    case KO_E_MAILBOX_FULL: return "KO_E_MAILBOX_FULL (mailbox full)";
    case KO_E_REGISTER: return "KO_E_REGISTER (bad registration record, or registered already)";
    default: return "unknown status";
    }
}
