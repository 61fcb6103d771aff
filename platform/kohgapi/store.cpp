// store.cpp - opening, creating and laying out the node's tag store; the
// name index; tag creation; properties. Creation and property changes hold
// the store lock; look-ups never lock: a tag slot is filled before the count
// and the index publish it, and tags are never deleted.
#include "store.h"

#include "robust_mutex.h"
#include "rt.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ko {
namespace {

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

std::mutex open_mutex;
std::atomic<Store *> opened{nullptr};
Store the_store;
char store_error[512];

Store *fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
Store *fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(store_error, sizeof store_error, format, args);
    va_end(args);
    return nullptr;
}

void initialise(StoreHeader *h, uint8_t *base)
{
    constexpr Layout l = layout();
    h->version = kStoreVersion;
    h->file_size = l.file_size;
    h->tag_capacity = kTagCapacity;
    h->index_size = kIndexSize;
    h->mailbox_capacity = kMailboxCapacity;
    h->mailbox_depth = kMailboxDepth;
    h->index_offset = l.index_offset;
    h->tags_offset = l.tags_offset;
    h->mailboxes_offset = l.mailboxes_offset;
    h->data_offset = l.data_offset;
    h->data_size = kDataSize;
    h->data_used.store(kAlign);  // offset 0 of the data area means "none"
    h->tag_count.store(0);
    robust_mutex_init(&h->lock);
    auto *mailboxes = reinterpret_cast<Mailbox *>(base + l.mailboxes_offset);
    for (uint32_t i = 0; i < kMailboxCapacity; ++i)
        robust_mutex_init(&mailboxes[i].lock);
}

Store *attach(uint8_t *base)
{
    auto *h = reinterpret_cast<StoreHeader *>(base);
    the_store.header = h;
    the_store.base = base;
    the_store.index = reinterpret_cast<std::atomic<uint32_t> *>(base + h->index_offset);
    the_store.tags = reinterpret_cast<TagSlot *>(base + h->tags_offset);
    the_store.mailboxes = reinterpret_cast<Mailbox *>(base + h->mailboxes_offset);
    return &the_store;
}

Store *open_store()
{
    const char *dir = RtNodeDirectory();
    struct stat st {};
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return fail("node directory %s (RT_NODE_DIR) does not exist or is not a directory", dir);
    std::string path = std::string(dir) + "/tags.store";
    constexpr Layout l = layout();

    bool creator = true;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        creator = false;
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0)
        return fail("cannot open the tag store %s: %s", path.c_str(), std::strerror(errno));
    if (creator && ftruncate(fd, static_cast<off_t>(l.file_size)) != 0) {
        close(fd);
        unlink(path.c_str());
        return fail("cannot size the tag store %s: %s", path.c_str(), std::strerror(errno));
    }
    // A store being created by another process: wait for its size and magic.
    for (int i = 0; !creator && i < 200; ++i) {
        if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= sizeof(StoreHeader))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < sizeof(StoreHeader)) {
        close(fd);
        return fail("the tag store %s is empty or truncated; remove it", path.c_str());
    }
    size_t size = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return fail("cannot map the tag store %s: %s", path.c_str(), std::strerror(errno));
    auto *base = static_cast<uint8_t *>(map);
    auto *h = reinterpret_cast<StoreHeader *>(base);
    if (creator) {
        initialise(h, base);
        h->magic.store(kStoreMagic, std::memory_order_release);
        Store *s = attach(base);
        opened.store(s, std::memory_order_release);
        seed_from_node_config();
        return s;
    }
    for (int i = 0; i < 200 && h->magic.load(std::memory_order_acquire) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    uint32_t magic = h->magic.load(std::memory_order_acquire);
    uint32_t version = h->version;
    if (magic != kStoreMagic || version != kStoreVersion || h->file_size != size || h->file_size != l.file_size) {
        munmap(map, size);
        std::snprintf(store_error, sizeof store_error,
                      "the tag store %s has magic 0x%08x layout version %u (%zu bytes); this library uses magic "
                      "0x%08x layout version %u (%llu bytes): end the node's processes and remove the file",
                      path.c_str(), magic, version, size, kStoreMagic, kStoreVersion,
                      static_cast<unsigned long long>(l.file_size));
        return nullptr;
    }
    return attach(base);
}

uint32_t hash_name(const char *name)
{
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
        h = (h ^ *p) * 16777619u;
    return h;
}

// Offset of size bytes of the data area, 0 when it is full. Under the store lock.
uint64_t allocate(Store *s, uint64_t size)
{
    StoreHeader *h = s->header;
    uint64_t used = h->data_used.load();
    uint64_t start = align_up(used, kAlign);
    if (start + size > h->data_size)
        return 0;
    h->data_used.store(start + size);
    return h->data_offset + start;
}

}  // namespace

Store *store()
{
    Store *s = opened.load(std::memory_order_acquire);
    if (s != nullptr)
        return s;
    std::lock_guard lock(open_mutex);
    s = opened.load(std::memory_order_acquire);
    if (s == nullptr) {
        s = open_store();
        if (s != nullptr) {
            store_error[0] = '\0';
            opened.store(s, std::memory_order_release);
        }
    }
    return s;
}

bool is_value_type(uint16_t type)
{
    return type >= KO_TYPE_U8 && type <= KO_TYPE_F64;
}

bool is_segment_type(uint16_t type)
{
    return type == KO_TYPE_SEGMENT || type == KO_TYPE_SEGMENT13;
}

uint32_t value_size(uint16_t type)
{
    switch (type) {
    case KO_TYPE_U8: case KO_TYPE_I8: case KO_TYPE_BYTE: return 1;
    case KO_TYPE_I16: case KO_TYPE_U16: return 2;
    case KO_TYPE_U32: case KO_TYPE_I32: case KO_TYPE_F32: return 4;
    case KO_TYPE_I64: case KO_TYPE_U64: case KO_TYPE_F64: return 8;
    default: return 0;
    }
}

uint32_t find_tag(Store *s, const char *name)
{
    const uint32_t mask = s->header->index_size - 1;
    for (uint32_t i = hash_name(name) & mask;; i = (i + 1) & mask) {
        uint32_t entry = s->index[i].load(std::memory_order_acquire);
        if (entry == 0)
            return 0;
        if (std::strcmp(s->tags[entry - 1].name, name) == 0)
            return entry;
    }
}

uint32_t create_tag(Store *s, const char *name, uint16_t type, uint32_t size, uint32_t depth, uint32_t *entry)
{
    if (name == nullptr || name[0] == '\0' || strnlen(name, KO_TAG_NAME_SIZE) >= KO_TAG_NAME_SIZE)
        return KO_E_NAME;
    RobustLock lock(&s->header->lock);
    if (uint32_t existing = find_tag(s, name); existing != 0) {
        const TagSlot &t = s->tags[existing - 1];
        if (t.type != type || (!is_value_type(type) && (t.size != size || t.depth != depth)))
            return KO_E_EXISTS;
        if (entry != nullptr)
            *entry = existing;
        return KO_OK;
    }
    uint32_t count = s->header->tag_count.load();
    if (count >= s->header->tag_capacity)
        return KO_E_FULL;
    TagSlot &t = s->tags[count];
    std::memset(static_cast<void *>(&t), 0, sizeof t);
    std::memcpy(t.name, name, std::strlen(name) + 1);
    t.type = type;
    t.size = size;
    t.depth = depth;
    if (is_segment_type(type)) {
        t.data = allocate(s, sizeof(SegmentArea) + size);
        if (t.data == 0)
            return KO_E_FULL;
        robust_mutex_init(&s->at<SegmentArea>(t.data)->lock);
    } else if (type == KO_TYPE_FIFO) {
        t.data = allocate(s, sizeof(FifoArea) + uint64_t{size} * depth);
        if (t.data == 0)
            return KO_E_FULL;
        auto *fifo = s->at<FifoArea>(t.data);
        robust_mutex_init(&fifo->lock);
        fifo->head.store(0);
        fifo->tail.store(0);
    }
    s->header->tag_count.store(count + 1, std::memory_order_release);
    const uint32_t mask = s->header->index_size - 1;
    uint32_t i = hash_name(name) & mask;
    while (s->index[i].load() != 0)
        i = (i + 1) & mask;
    s->index[i].store(count + 1, std::memory_order_release);
    if (entry != nullptr)
        *entry = count + 1;
    return KO_OK;
}

bool get_property(Store *s, TagSlot *tag, const char *name, std::string &text)
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

uint32_t set_property(Store *s, TagSlot *tag, const char *name, const char *text)
{
    if (name == nullptr || name[0] == '\0' || std::strlen(name) >= sizeof(PropertyRecord::name) || text == nullptr)
        return KO_E_ARGUMENT;
    RobustLock lock(&s->header->lock);
    size_t length = std::strlen(text);
    uint64_t at = allocate(s, sizeof(PropertyRecord) + length + 1);
    if (at == 0)
        return KO_E_FULL;
    auto *p = s->at<PropertyRecord>(at);
    p->next = tag->properties.load();
    std::memset(p->name, 0, sizeof p->name);
    std::memcpy(p->name, name, std::strlen(name));
    p->length = static_cast<uint32_t>(length);
    std::memcpy(reinterpret_cast<char *>(p + 1), text, length + 1);
    tag->properties.store(at, std::memory_order_release);  // the newest record shadows older ones
    return KO_OK;
}

}  // namespace ko

extern "C" const char *KoStoreError(void)
{
    ko::store();
    return ko::store_error;
}
