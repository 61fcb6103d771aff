// store.h - the layout of the node's tag store and the calls the rooms of
// libkohgapi share. One shared-memory file per node (RT_NODE_DIR/tags.store),
// mapped whole by every process; structures link by byte offset, never by
// address. The header starts with a magic number and a layout version.
#pragma once

#include "kohgapi.h"
#include "robust_mutex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <string>

namespace ko {

constexpr uint32_t kStoreMagic = 0x53544F4B;  // "KOTS"
constexpr uint32_t kStoreVersion = 4;  // 4: the store's mutexes inherit priority
constexpr uint32_t kTagCapacity = 16384;
constexpr uint32_t kIndexSize = 32768;  // power of two, twice the tags
constexpr uint32_t kMailboxCapacity = 64;
constexpr uint32_t kMailboxDepth = 64;
constexpr uint64_t kDataSize = 64ull << 20;  // sparse: pages cost only when written
constexpr uint32_t kPropertyNameMax = 31;
constexpr uint32_t kPropertyTextMax = 4095;
constexpr uint32_t kPropertiesPerTag = 64;
constexpr uint32_t kFifoDepthMax = 1u << 30;  // the counters run over twice the depth

struct TagSlot {
    char name[KO_TAG_NAME_SIZE];
    uint16_t type;
    uint16_t in_place;  // 1: a value tag; the header's inline by-entry calls reach it
    uint32_t size;   // value or segment bytes; FIFO record bytes
    uint32_t depth;  // FIFO records
    uint32_t reserved1;
    std::atomic<uint64_t> value;  // value tags: the value in its low bytes
    uint64_t data;                // segments and FIFOs: offset of their area
    std::atomic<uint64_t> properties;  // offset of the newest property record, 0 = none
};
static_assert(sizeof(TagSlot) == 96 && sizeof(TagSlot) == sizeof(KoTagSlotView));
static_assert(offsetof(TagSlot, type) == offsetof(KoTagSlotView, type) &&
              offsetof(TagSlot, in_place) == offsetof(KoTagSlotView, in_place) &&
              offsetof(TagSlot, size) == offsetof(KoTagSlotView, size) &&
              offsetof(TagSlot, value) == offsetof(KoTagSlotView, value));
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// A segment keeps two copies of its bytes. A write goes to the copy that is
// not current and then makes it current, so a writer killed mid-write leaves
// the current copy whole. The other copy lags behind the current one only
// within [lag_offset, lag_offset + lag_length), which the next write brings
// over first.
struct SegmentArea {
    pthread_mutex_t lock;
    std::atomic<uint32_t> current;  // 0 or 1
    uint32_t lag_offset;
    uint32_t lag_length;
    uint32_t reserved;
    // then two copies of size bytes
};

// head and tail run from 0 to 2 * depth - 1, so full and empty differ for
// every depth and the order survives their wrap-around.
// A reader waiting for records sleeps on tail; waiters tells a put
// whether anyone needs waking, so a put nobody waits for makes no call.
struct FifoArea {
    pthread_mutex_t lock;
    std::atomic<uint32_t> head;  // next record to take
    std::atomic<uint32_t> tail;  // next place to put
    std::atomic<uint32_t> waiters;
    uint32_t reserved;
    // then depth records
};

struct PropertyRecord {
    uint64_t next;  // older record (or next free record), 0 = none
    char name[kPropertyNameMax + 1];
    uint32_t length;    // text bytes without terminator
    uint32_t capacity;  // text bytes the record holds, terminator included
    // then capacity bytes of text
};

struct MailboxMessage {
    uint32_t code;
    int32_t sender;
    uint32_t length;
    uint8_t data[KO_MAILBOX_DATA_MAX];
};

struct Mailbox {
    pthread_mutex_t lock;
    std::atomic<uint32_t> sequence;  // futex word: bumped at every message and at the end
    uint32_t head;
    uint32_t tail;
    int32_t owner_pid;  // 0 = free
    uint64_t owner_start;
    char name[KO_SERVICE_NAME_SIZE];
    char short_name[KO_SERVICE_SHORT_NAME_SIZE];
    MailboxMessage messages[kMailboxDepth];
};

struct StoreHeader {
    std::atomic<uint32_t> magic;
    uint32_t version;
    uint64_t file_size;
    uint32_t tag_capacity;
    uint32_t index_size;
    uint32_t mailbox_capacity;
    uint32_t mailbox_depth;
    uint64_t index_offset;
    uint64_t tags_offset;
    uint64_t mailboxes_offset;
    uint64_t data_offset;
    uint64_t data_size;
    std::atomic<uint64_t> data_used;
    std::atomic<uint32_t> tag_count;
    uint32_t reserved;
    uint64_t free_properties;  // list of property records to reuse, 0 = none
    pthread_mutex_t lock;  // creation, properties, mailbox registration
};

// The mapped store of this process, or nullptr (KoStoreError says why).
struct Store {
    StoreHeader *header;
    std::atomic<uint32_t> *index;
    TagSlot *tags;
    Mailbox *mailboxes;
    uint8_t *base;

    template <typename T>
    T *at(uint64_t offset) const { return reinterpret_cast<T *>(base + offset); }
};
Store *store();

// The slot of an entry, or nullptr for 0 and unknown entries.
inline TagSlot *slot_of(Store *s, uint32_t entry)
{
    if (s == nullptr || entry == 0 || entry > s->header->tag_count.load(std::memory_order_acquire))
        return nullptr;
    return &s->tags[entry - 1];
}

// The store and the slot of an entry: KO_OK, KO_E_STORE or KO_E_ENTRY.
inline uint32_t entry_slot(uint32_t entry, Store *&s, TagSlot *&t)
{
    s = store();
    t = slot_of(s, entry);
    if (t == nullptr)
        return s == nullptr ? KO_E_STORE : KO_E_ENTRY;
    return KO_OK;
}

// Entry of a tag by name, 0 when there is none. Lock-free.
uint32_t find_tag(Store *s, const char *name);

// Creates a tag with its source and description under the store lock (or
// finds it, when it exists with the same type and shape). Everything the tag
// needs is in place before it is published; a creation that fails leaves
// nothing. entry receives the tag's entry.
uint32_t create_tag(Store *s, const char *name, uint16_t type, uint32_t size, uint32_t depth, const char *source,
                    const char *description, uint32_t *entry);

// Property text by case-insensitive name; false when absent.
bool get_property(Store *s, TagSlot *tag, const char *name, std::string &text);
uint32_t set_property(Store *s, TagSlot *tag, const char *name, const char *text);

inline bool is_value_type(uint16_t type)
{
    return type >= KO_TYPE_U8 && type <= KO_TYPE_F64;
}

inline bool is_segment_type(uint16_t type)
{
    return type == KO_TYPE_SEGMENT || type == KO_TYPE_SEGMENT13;
}

// 0 for segments, FIFOs and unknown codes.
inline uint32_t value_size(uint16_t type)
{
    switch (type) {
    case KO_TYPE_U8: case KO_TYPE_I8: case KO_TYPE_BYTE: return 1;
    case KO_TYPE_I16: case KO_TYPE_U16: return 2;
    case KO_TYPE_U32: case KO_TYPE_I32: case KO_TYPE_F32: return 4;
    case KO_TYPE_I64: case KO_TYPE_U64: case KO_TYPE_F64: return 8;
    default: return 0;
    }
}

// Bytes of the data area a segment or FIFO of that shape takes.
inline uint64_t area_bytes(uint16_t type, uint32_t size, uint32_t depth)
{
    if (is_segment_type(type))
        return sizeof(SegmentArea) + 2 * uint64_t{size};
    if (type == KO_TYPE_FIFO)
        return sizeof(FifoArea) + uint64_t{size} * depth;
    return 0;
}

// ---- the rooms of the store: store_file.cpp, store_check.cpp, name_index.cpp, properties.cpp

// Where each part of the file lies. Offset 0 of the data area means "none",
// so its first kAlign bytes are never handed out.
constexpr uint64_t kAlign = 64;
constexpr uint64_t align_up(uint64_t v, uint64_t a)
{
    return (v + a - 1) / a * a;
}

struct Layout {
    uint64_t index_offset, tags_offset, mailboxes_offset, data_offset, file_size;
};

constexpr Layout layout()
{
    Layout l{};
    l.index_offset = align_up(sizeof(StoreHeader), 4096);
    l.tags_offset = align_up(l.index_offset + kIndexSize * sizeof(uint32_t), 4096);
    l.mailboxes_offset = align_up(l.tags_offset + uint64_t{kTagCapacity} * sizeof(TagSlot), 4096);
    l.data_offset = align_up(l.mailboxes_offset + uint64_t{kMailboxCapacity} * sizeof(Mailbox), 4096);
    l.file_size = l.data_offset + kDataSize;
    return l;
}
constexpr Layout kLayout = layout();

// A message formatted like printf (store_file.cpp).
std::string format_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Why a mapped store cannot be used; empty when it is sound (store_check.cpp).
std::string check_store(Store &s, uint64_t file_size);

// The name index (name_index.cpp): the entry it holds for a name (0: none),
// and a new name's entry put into it.
uint32_t indexed_entry(Store *s, const char *name);
void index_insert(Store *s, const char *name, uint32_t entry);

// The store lock. A holder killed after publishing a tag's count but before
// its index entry left the newest tag unfindable: the taker-over indexes it.
class StoreLock {
public:
    explicit StoreLock(Store *s, const timespec *until = nullptr) : lock_(&s->header->lock, until)
    {
        uint32_t newest = s->header->tag_count.load();
        if (lock_.taken_over() && newest != 0 && newest <= kTagCapacity &&
            indexed_entry(s, s->tags[newest - 1].name) != newest)
            index_insert(s, s->tags[newest - 1].name, newest);
    }
    bool held() const { return lock_.held(); }

private:
    RobustLock lock_;
};

// Offset of size bytes of the data area, 0 when it is full. Under the store lock.
uint64_t allocate(Store *s, uint64_t size);

// Properties (properties.cpp), under the store lock.
bool valid_property(const char *name, const char *text);
// A new record holding one property, linked before next; 0 when the data area is full.
uint64_t new_property(Store *s, const char *name, const char *text, uint64_t next);
uint32_t write_property(Store *s, TagSlot *tag, const char *name, const char *text);

// The type a by-name write of a missing tag creates for a width, 0 for none.
uint16_t type_for_width(uint32_t size);

uint32_t fifo_peek(Store *s, TagSlot *t, void *record, uint32_t size);
void fifo_init(FifoArea *fifo);
uint32_t segment_read(Store *s, TagSlot *t, uint32_t offset, void *buffer, uint32_t length);
uint32_t segment_write(Store *s, TagSlot *t, uint32_t offset, const void *buffer, uint32_t length);
void segment_init(SegmentArea *segment);

// Seeds a store being created from the node config (tags, settings,
// properties); false with the reason when the config or a creation fails.
bool seed_from_node_config(std::string &error);

}  // namespace ko
