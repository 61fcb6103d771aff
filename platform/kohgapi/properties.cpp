// properties.cpp - the properties of tags: named texts in records of the
// data area, kept in a list per tag; freed records are reused.
#include "store.h"

#include <cstring>
#include <strings.h>

namespace ko {
namespace {

uint32_t property_capacity(size_t length)
{
    uint32_t capacity = 16;
    while (capacity < length + 1)
        capacity *= 2;
    return capacity;
}

// A property record for at least capacity text bytes: a free one that fits,
// else new space. 0 when the data area is full. Under the store lock.
uint64_t allocate_property(Store *s, uint32_t capacity)
{
    for (uint64_t *link = &s->header->free_properties; *link != 0;) {
        auto *p = s->at<PropertyRecord>(*link);
        if (p->capacity == capacity) {
            uint64_t at = *link;
            *link = p->next;
            return at;
        }
        link = &p->next;
    }
    uint64_t at = allocate(s, sizeof(PropertyRecord) + capacity);
    if (at != 0)
        s->at<PropertyRecord>(at)->capacity = capacity;
    return at;
}

void free_property(Store *s, uint64_t at)
{
    s->at<PropertyRecord>(at)->next = s->header->free_properties;
    s->header->free_properties = at;
}

}  // namespace

// A new record holding one property; 0 when the data area is full.
uint64_t new_property(Store *s, const char *name, const char *text, uint64_t next)
{
    size_t length = std::strlen(text);
    uint64_t at = allocate_property(s, property_capacity(length));
    if (at == 0)
        return 0;
    auto *p = s->at<PropertyRecord>(at);
    p->next = next;
    std::memset(p->name, 0, sizeof p->name);
    std::memcpy(p->name, name, std::strlen(name));
    p->length = static_cast<uint32_t>(length);
    std::memcpy(reinterpret_cast<char *>(p + 1), text, length + 1);
    return at;
}

bool valid_property(const char *name, const char *text)
{
    return name != nullptr && name[0] != '\0' && std::strlen(name) <= kPropertyNameMax && text != nullptr &&
           std::strlen(text) <= kPropertyTextMax;
}

bool read_property(Store *s, TagSlot *tag, const char *name, std::string &text)
{
    for (uint64_t at = tag->properties.load(std::memory_order_acquire); at != 0;) {
        auto *p = s->at<PropertyRecord>(at);
        if (strcasecmp(p->name, name) == 0) {
            text.assign(reinterpret_cast<const char *>(p + 1), p->length);
            return true;
        }
        at = p->next;
    }
    return false;
}

// Under the store lock. A text that fits its record is rewritten in place
// (readers hold the lock too); a longer one moves to a larger record and
// the old one is kept for reuse, so rewriting takes bounded space.
uint32_t write_property(Store *s, TagSlot *tag, const char *name, const char *text)
{
    size_t length = std::strlen(text);
    uint32_t count = 0;
    uint64_t previous = 0;
    for (uint64_t at = tag->properties.load(); at != 0; previous = at, at = s->at<PropertyRecord>(at)->next, ++count) {
        auto *p = s->at<PropertyRecord>(at);
        if (strcasecmp(p->name, name) != 0)
            continue;
        if (length < p->capacity) {
            std::memcpy(reinterpret_cast<char *>(p + 1), text, length + 1);
            p->length = static_cast<uint32_t>(length);
            return KO_OK;
        }
        uint64_t replacement = new_property(s, name, text, p->next);
        if (replacement == 0)
            return KO_E_FULL;
        if (previous == 0)
            tag->properties.store(replacement, std::memory_order_release);
        else
            s->at<PropertyRecord>(previous)->next = replacement;
        free_property(s, at);
        return KO_OK;
    }
    if (count >= kPropertiesPerTag)
        return KO_E_FULL;
    uint64_t at = new_property(s, name, text, tag->properties.load());
    if (at == 0)
        return KO_E_FULL;
    tag->properties.store(at, std::memory_order_release);
    return KO_OK;
}

bool get_property(Store *s, TagSlot *tag, const char *name, std::string &text)
{
    StoreLock lock(s);
    return read_property(s, tag, name, text);
}

uint32_t set_property(Store *s, TagSlot *tag, const char *name, const char *text)
{
    if (!valid_property(name, text))
        return KO_E_ARGUMENT;
    StoreLock lock(s);
    return write_property(s, tag, name, text);
}

}  // namespace ko
