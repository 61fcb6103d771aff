// store_check.cpp - the check of a store that is opened: every header
// field, offset, count and size against the layout and the file, every tag
// slot and property list, before the store is used.
//
// Other processes of the node may be creating tags meanwhile (a tool opens
// the store beside a starting service): a tag counted after the index was
// read, a property record being filled. What looks damaged is therefore
// looked at again under the store lock, which every such change holds. A
// lock that cannot be had within two seconds leaves the first reason.
#include "store.h"

#include <cstring>
#include <ctime>
#include <string>

namespace ko {
namespace {

bool terminated(const char *text, size_t size)
{
    return std::memchr(text, '\0', size) != nullptr;
}

// Whether a record of bytes at offset lies inside the used data area.
bool in_data(const StoreHeader *h, uint64_t offset, uint64_t bytes)
{
    uint64_t end = h->data_offset + h->data_used.load();
    return offset >= h->data_offset + kAlign && offset <= end && bytes <= end - offset;
}

// Walks a property list, at most limit records; empty when it is sound.
std::string check_properties(const Store &s, uint64_t at, uint32_t limit)
{
    for (uint32_t n = 0; at != 0; ++n) {
        if (n == limit)
            return "its property list does not end";
        if (at % 8 != 0 || !in_data(s.header, at, sizeof(PropertyRecord)))
            return format_text("a property record at 0x%llx lies outside the data area", static_cast<unsigned long long>(at));
        auto *p = s.at<PropertyRecord>(at);
        if (!terminated(p->name, sizeof p->name) || p->length >= p->capacity ||
            !in_data(s.header, at + sizeof(PropertyRecord), p->capacity))
            return format_text("the property record at 0x%llx is damaged", static_cast<unsigned long long>(at));
        at = p->next;
    }
    return {};
}

std::string check_tag(const Store &s, const TagSlot &t)
{
    if (!terminated(t.name, sizeof t.name) || t.name[0] == '\0')
        return "its name is not a text";
    if (is_value_type(t.type)) {
        if (t.size != value_size(t.type))
            return format_text("type %u with size %u", t.type, t.size);
    } else if (is_segment_type(t.type) || t.type == KO_TYPE_FIFO) {
        if (t.size == 0 || (t.type == KO_TYPE_FIFO && (t.depth == 0 || t.depth > kFifoDepthMax)))
            return format_text("size %u depth %u", t.size, t.depth);
        if (t.data % 8 != 0 || !in_data(s.header, t.data, area_bytes(t.type, t.size, t.depth)))
            return format_text("its data at 0x%llx (%llu bytes) lies outside the data area",
                          static_cast<unsigned long long>(t.data),
                          static_cast<unsigned long long>(area_bytes(t.type, t.size, t.depth)));
        if (is_segment_type(t.type)) {
            const auto *g = s.at<SegmentArea>(t.data);
            if (g->current.load() > 1 || g->lag_offset > t.size || g->lag_length > t.size - g->lag_offset)
                return "its segment state is damaged";
        } else {
            const auto *f = s.at<FifoArea>(t.data);
            if (f->head.load() >= 2 * t.depth || f->tail.load() >= 2 * t.depth)
                return format_text("FIFO counters %u and %u for depth %u", f->head.load(), f->tail.load(), t.depth);
        }
    } else {
        return format_text("unknown type code %u", t.type);
    }
    return check_properties(s, t.properties.load(), kPropertiesPerTag);
}

// Every header field, offset and size against the layout and the file.
std::string check_header(const StoreHeader *h, uint64_t file_size)
{
    if (h->magic.load() != kStoreMagic || h->version != kStoreVersion || file_size != kLayout.file_size)
        return format_text("it has magic 0x%08x layout version %u (%llu bytes); this library uses magic 0x%08x layout "
                      "version %u (%llu bytes)",
                      h->magic.load(), h->version, static_cast<unsigned long long>(file_size), kStoreMagic,
                      kStoreVersion, static_cast<unsigned long long>(kLayout.file_size));
    struct Field {
        const char *name;
        uint64_t value, expected;
    } fields[] = {
        {"file size", h->file_size, kLayout.file_size},
        {"tag capacity", h->tag_capacity, kTagCapacity},
        {"index size", h->index_size, kIndexSize},
        {"mailbox capacity", h->mailbox_capacity, kMailboxCapacity},
        {"mailbox depth", h->mailbox_depth, kMailboxDepth},
        {"index offset", h->index_offset, kLayout.index_offset},
        {"tags offset", h->tags_offset, kLayout.tags_offset},
        {"mailboxes offset", h->mailboxes_offset, kLayout.mailboxes_offset},
        {"data offset", h->data_offset, kLayout.data_offset},
        {"data size", h->data_size, kDataSize},
    };
    for (const Field &f : fields)
        if (f.value != f.expected)
            return format_text("its %s is %llu, not %llu", f.name, static_cast<unsigned long long>(f.value),
                          static_cast<unsigned long long>(f.expected));
    return {};
}

// The counts, the index, every tag slot, the property lists and mailboxes.
std::string check_contents(const Store &s)
{
    const StoreHeader *h = s.header;
    if (h->data_used.load() < kAlign || h->data_used.load() > h->data_size)
        return format_text("it uses %llu bytes of a data area of %llu",
                      static_cast<unsigned long long>(h->data_used.load()),
                      static_cast<unsigned long long>(h->data_size));
    uint32_t count = h->tag_count.load();
    if (count > h->tag_capacity)
        return format_text("it counts %u tags; the capacity is %u", count, h->tag_capacity);
    for (uint32_t i = 0; i < h->index_size; ++i)
        if (s.index[i].load() > count)
            return format_text("name index slot %u holds entry %u of %u tags", i, s.index[i].load(), count);
    for (uint32_t e = 1; e <= count; ++e)
        if (std::string why = check_tag(s, s.tags[e - 1]); !why.empty())
            return format_text("tag %u: %s", e, why.c_str());
    if (std::string why = check_properties(s, h->free_properties, static_cast<uint32_t>(kDataSize / kAlign));
        !why.empty())
        return "free property list: " + why;
    for (uint32_t i = 0; i < h->mailbox_capacity; ++i) {
        const Mailbox &m = s.mailboxes[i];
        if (m.tail - m.head > kMailboxDepth || !terminated(m.name, sizeof m.name) ||
            !terminated(m.short_name, sizeof m.short_name))
            return format_text("mailbox %u is damaged", i);
    }
    return {};
}

}  // namespace

std::string check_store(Store &s, uint64_t file_size)
{
    if (std::string why = check_header(s.header, file_size); !why.empty())
        return why;
    std::string why = check_contents(s);
    if (why.empty())
        return why;
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 2;
    StoreLock lock(&s, &until);
    return lock.held() ? check_contents(s) : why;
}

}  // namespace ko
