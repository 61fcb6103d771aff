// name_index.cpp - the store's name index and the creation of tags.
//
// Creation holds the store lock; name look-ups never lock: a tag slot is
// filled before the count publishes it, and the index entry follows. A
// creator killed between the two leaves its tag unindexed, which the next
// holder of the lock repairs (StoreLock, store.h).
#include "store.h"

#include <cstring>

namespace ko {
namespace {

uint32_t hash_name(const char *name)
{
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
        h = (h ^ *p) * 16777619u;
    return h;
}

// The index slot a new name goes to; kNoSlot when the index is full (only
// in a damaged store: it has twice as many slots as the store has tags).
constexpr uint32_t kNoSlot = ~0u;
uint32_t free_index_slot(Store *s, const char *name)
{
    const uint32_t mask = s->header->index_size - 1;
    uint32_t i = hash_name(name) & mask;
    for (uint32_t probes = 0; probes <= mask; ++probes, i = (i + 1) & mask)
        if (s->index[i].load() == 0)
            return i;
    return kNoSlot;
}

}  // namespace

void index_insert(Store *s, const char *name, uint32_t entry)
{
    if (uint32_t slot = free_index_slot(s, name); slot != kNoSlot)
        s->index[slot].store(entry, std::memory_order_release);
}

// The entry the name index holds for a name, 0 when it holds none.
uint32_t indexed_entry(Store *s, const char *name)
{
    const uint32_t mask = s->header->index_size - 1;
    const uint32_t count = s->header->tag_count.load(std::memory_order_acquire);
    uint32_t i = hash_name(name) & mask;
    for (uint32_t probes = 0; probes <= mask; ++probes, i = (i + 1) & mask) {
        uint32_t entry = s->index[i].load(std::memory_order_acquire);
        if (entry == 0)
            break;
        if (entry <= count && std::strncmp(s->tags[entry - 1].name, name, KO_TAG_NAME_SIZE) == 0)
            return entry;
    }
    return 0;
}

// Offset of size bytes of the data area, 0 when it is full. Under the store lock.
uint64_t allocate(Store *s, uint64_t size)
{
    StoreHeader *h = s->header;
    uint64_t start = align_up(h->data_used.load(), kAlign);
    if (start > h->data_size || size > h->data_size - start)
        return 0;
    h->data_used.store(start + size);
    return h->data_offset + start;
}

uint32_t find_tag(Store *s, const char *name)
{
    if (uint32_t entry = indexed_entry(s, name); entry != 0)
        return entry;
    // The newest tag may be counted but not yet indexed: its creator is
    // between the two stores, or was killed there.
    uint32_t count = s->header->tag_count.load(std::memory_order_acquire);
    if (count != 0 && std::strncmp(s->tags[count - 1].name, name, KO_TAG_NAME_SIZE) == 0)
        return count;
    return 0;
}

uint32_t create_tag(Store *s, const char *name, uint16_t type, uint32_t size, uint32_t depth, const char *source,
                    const char *description, uint32_t *entry)
{
    if (name == nullptr || name[0] == '\0' || strnlen(name, KO_TAG_NAME_SIZE) >= KO_TAG_NAME_SIZE)
        return KO_E_NAME;
    if (type == KO_TYPE_FIFO && depth > kFifoDepthMax)
        return KO_E_SIZE;
    const char *texts[2][2] = {{"Source", source}, {"Description", description}};
    for (auto &[property, text] : texts)
        if (text != nullptr && text[0] != '\0' && !valid_property(property, text))
            return KO_E_ARGUMENT;
    StoreLock lock(s);
    if (uint32_t existing = find_tag(s, name); existing != 0) {
        TagSlot &t = s->tags[existing - 1];
        if (t.type != type || (!is_value_type(type) && (t.size != size || t.depth != depth)))
            return KO_E_EXISTS;
        for (auto &[property, text] : texts)
            if (text != nullptr && text[0] != '\0')
                if (uint32_t status = write_property(s, &t, property, text); status != KO_OK)
                    return status;
        if (entry != nullptr)
            *entry = existing;
        return KO_OK;
    }
    uint32_t count = s->header->tag_count.load();
    if (count >= s->header->tag_capacity || free_index_slot(s, name) == kNoSlot)
        return KO_E_FULL;
    uint64_t used = s->header->data_used.load();  // given back when the creation fails
    TagSlot &t = s->tags[count];
    std::memset(static_cast<void *>(&t), 0, sizeof t);
    std::memcpy(t.name, name, std::strlen(name) + 1);
    t.type = type;
    t.in_place = is_value_type(type) ? 1 : 0;
    t.size = size;
    t.depth = depth;
    bool made = true;
    if (uint64_t bytes = area_bytes(type, size, depth); bytes != 0) {
        t.data = allocate(s, bytes);
        made = t.data != 0;
        if (made && is_segment_type(type))
            segment_init(s->at<SegmentArea>(t.data));
        else if (made)
            fifo_init(s->at<FifoArea>(t.data));
    }
    uint64_t properties = 0;
    for (auto &[property, text] : texts) {
        if (made && text != nullptr && text[0] != '\0') {
            properties = new_property(s, property, text, properties);
            made = properties != 0;
        }
    }
    if (!made) {
        s->header->data_used.store(used);
        return KO_E_FULL;
    }
    t.properties.store(properties);
    s->header->tag_count.store(count + 1, std::memory_order_release);
    index_insert(s, name, count + 1);
    if (entry != nullptr)
        *entry = count + 1;
    return KO_OK;
}

}  // namespace ko
