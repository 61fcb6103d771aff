// store.cpp - opening, creating and laying out the node's tag store; the
// name index; tag creation; properties.
//
// A new store is built and seeded under a temporary name and only then
// linked into place, while the node directory is locked (flock) against
// other creators; so a store that exists is complete, and a creator killed
// at any moment leaves either no store or a whole one. A store that is
// opened is checked field by field against the layout before it is used.
//
// Creation and property changes hold the store lock; name look-ups never
// lock: a tag slot is filled before the count publishes it, and the index
// entry follows. A creator killed between the two leaves its tag unindexed,
// which the next holder of the lock repairs.
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
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern "C" {
KoTagTableView KoTagTable = {nullptr, nullptr};
}

namespace ko {
namespace {

constexpr uint64_t kAlign = 64;
constexpr const char *kStoreFile = "tags.store";
constexpr const char *kNewStoreFile = "tags.store.new";
constexpr auto kCreationWait = std::chrono::seconds(20);

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

std::mutex open_mutex;
std::atomic<Store *> opened{nullptr};
Store the_store;
char store_error[1024];
std::atomic<bool> create_allowed{true};
// The thread that seeds a store being created reaches it before it is published.
std::atomic<Store *> seeding_store{nullptr};
std::atomic<std::thread::id> seeding_thread{};

void set_error(const std::string &text)
{
    std::snprintf(store_error, sizeof store_error, "%s", text.c_str());
}

std::string format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string store_path()
{
    return std::string(RtNodeDirectory()) + "/" + kStoreFile;
}

void initialise(uint8_t *base)
{
    auto *h = reinterpret_cast<StoreHeader *>(base);
    h->version = kStoreVersion;
    h->file_size = kLayout.file_size;
    h->tag_capacity = kTagCapacity;
    h->index_size = kIndexSize;
    h->mailbox_capacity = kMailboxCapacity;
    h->mailbox_depth = kMailboxDepth;
    h->index_offset = kLayout.index_offset;
    h->tags_offset = kLayout.tags_offset;
    h->mailboxes_offset = kLayout.mailboxes_offset;
    h->data_offset = kLayout.data_offset;
    h->data_size = kDataSize;
    h->data_used.store(kAlign);  // offset 0 of the data area means "none"
    h->tag_count.store(0);
    h->free_properties = 0;
    robust_mutex_init(&h->lock);
    auto *mailboxes = reinterpret_cast<Mailbox *>(base + kLayout.mailboxes_offset);
    for (uint32_t i = 0; i < kMailboxCapacity; ++i)
        robust_mutex_init(&mailboxes[i].lock);
    h->magic.store(kStoreMagic, std::memory_order_release);
}

Store *attach(uint8_t *base, Store &s)
{
    auto *h = reinterpret_cast<StoreHeader *>(base);
    s.header = h;
    s.base = base;
    s.index = reinterpret_cast<std::atomic<uint32_t> *>(base + h->index_offset);
    s.tags = reinterpret_cast<TagSlot *>(base + h->tags_offset);
    s.mailboxes = reinterpret_cast<Mailbox *>(base + h->mailboxes_offset);
    return &s;
}

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
            return format("a property record at 0x%llx lies outside the data area", static_cast<unsigned long long>(at));
        auto *p = s.at<PropertyRecord>(at);
        if (!terminated(p->name, sizeof p->name) || p->length >= p->capacity ||
            !in_data(s.header, at + sizeof(PropertyRecord), p->capacity))
            return format("the property record at 0x%llx is damaged", static_cast<unsigned long long>(at));
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
            return format("type %u with size %u", t.type, t.size);
    } else if (is_segment_type(t.type) || t.type == KO_TYPE_FIFO) {
        if (t.size == 0 || (t.type == KO_TYPE_FIFO && (t.depth == 0 || t.depth > kFifoDepthMax)))
            return format("size %u depth %u", t.size, t.depth);
        if (t.data % 8 != 0 || !in_data(s.header, t.data, area_bytes(t.type, t.size, t.depth)))
            return format("its data at 0x%llx (%llu bytes) lies outside the data area",
                          static_cast<unsigned long long>(t.data),
                          static_cast<unsigned long long>(area_bytes(t.type, t.size, t.depth)));
        if (is_segment_type(t.type)) {
            const auto *g = s.at<SegmentArea>(t.data);
            if (g->current.load() > 1 || g->lag_offset > t.size || g->lag_length > t.size - g->lag_offset)
                return "its segment state is damaged";
        } else {
            const auto *f = s.at<FifoArea>(t.data);
            if (f->head.load() >= 2 * t.depth || f->tail.load() >= 2 * t.depth)
                return format("FIFO counters %u and %u for depth %u", f->head.load(), f->tail.load(), t.depth);
        }
    } else {
        return format("unknown type code %u", t.type);
    }
    return check_properties(s, t.properties.load(), kPropertiesPerTag);
}

// Every header field, offset, count and size against the layout and the
// file; empty when the store is sound.
std::string check_store(const Store &s, uint64_t file_size)
{
    const StoreHeader *h = s.header;
    if (h->magic.load() != kStoreMagic || h->version != kStoreVersion || file_size != kLayout.file_size)
        return format("it has magic 0x%08x layout version %u (%llu bytes); this library uses magic 0x%08x layout "
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
            return format("its %s is %llu, not %llu", f.name, static_cast<unsigned long long>(f.value),
                          static_cast<unsigned long long>(f.expected));
    if (h->data_used.load() < kAlign || h->data_used.load() > h->data_size)
        return format("it uses %llu bytes of a data area of %llu",
                      static_cast<unsigned long long>(h->data_used.load()),
                      static_cast<unsigned long long>(h->data_size));
    uint32_t count = h->tag_count.load();
    if (count > h->tag_capacity)
        return format("it counts %u tags; the capacity is %u", count, h->tag_capacity);
    for (uint32_t i = 0; i < h->index_size; ++i)
        if (s.index[i].load() > count)
            return format("name index slot %u holds entry %u of %u tags", i, s.index[i].load(), count);
    for (uint32_t e = 1; e <= count; ++e)
        if (std::string why = check_tag(s, s.tags[e - 1]); !why.empty())
            return format("tag %u: %s", e, why.c_str());
    if (std::string why = check_properties(s, h->free_properties, static_cast<uint32_t>(kDataSize / kAlign));
        !why.empty())
        return "free property list: " + why;
    for (uint32_t i = 0; i < h->mailbox_capacity; ++i) {
        const Mailbox &m = s.mailboxes[i];
        if (m.tail - m.head > kMailboxDepth || !terminated(m.name, sizeof m.name) ||
            !terminated(m.short_name, sizeof m.short_name))
            return format("mailbox %u is damaged", i);
    }
    return {};
}

// Holds the node directory's lock (flock: released by the kernel when the
// holder dies): exclusive for a creator, shared for an opener, so nobody
// opens a store while another process is creating it. Waits a bounded time.
class DirectoryLock {
public:
    DirectoryLock(bool exclusive, std::string &error)
    {
        fd_ = open(RtNodeDirectory(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            error = format("cannot open the node directory %s: %s", RtNodeDirectory(), std::strerror(errno));
            return;
        }
        auto deadline = std::chrono::steady_clock::now() + kCreationWait;
        while (flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() > deadline) {
                error = format("another process has been creating the tag store in %s for %lld s; try again",
                               RtNodeDirectory(), static_cast<long long>(kCreationWait.count()));
                close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~DirectoryLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Maps and checks the published store; nullptr with the reason in error,
// or with error empty when there is no store.
Store *open_existing(std::string &error)
{
    std::string path = store_path();
    int fd = RtOpenNodeFile(kStoreFile, O_RDWR);
    if (fd < 0) {
        if (errno != ENOENT)
            error = format("cannot open the tag store %s: %s", path.c_str(),
                           errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = format("the tag store %s is not a regular file", path.c_str());
        return nullptr;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    void *map = size < sizeof(StoreHeader) ? MAP_FAILED
                                           : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = format("the tag store %s (%llu bytes) cannot be mapped; end the node's processes and remove the file",
                       path.c_str(), static_cast<unsigned long long>(size));
        return nullptr;
    }
    Store checked;
    attach(static_cast<uint8_t *>(map), checked);
    if (std::string why = check_store(checked, size); !why.empty()) {
        munmap(map, size);
        error = "the tag store " + path + " is unusable: " + why + "; end the node's processes and remove the file";
        return nullptr;
    }
    return attach(static_cast<uint8_t *>(map), the_store);
}

// Builds, seeds and publishes a new store; nullptr with the reason.
Store *create_new(std::string &error)
{
    std::string path = store_path();
    std::string temporary = std::string(RtNodeDirectory()) + "/" + kNewStoreFile;
    unlink(temporary.c_str());  // left by a creator that was killed
    int fd = RtOpenNodeFile(kNewStoreFile, O_RDWR | O_CREAT | O_EXCL);
    if (fd < 0) {
        error = format("cannot create the tag store %s: %s", temporary.c_str(), std::strerror(errno));
        return nullptr;
    }
    void *map = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(kLayout.file_size)) == 0)
        map = mmap(nullptr, kLayout.file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = format("cannot size the tag store %s: %s", temporary.c_str(), std::strerror(errno));
        unlink(temporary.c_str());
        return nullptr;
    }
    auto *base = static_cast<uint8_t *>(map);
    initialise(base);
    Store *s = attach(base, the_store);
    seeding_thread.store(std::this_thread::get_id());
    seeding_store.store(s);
    bool seeded = seed_from_node_config(error);
    seeding_store.store(nullptr);
    seeding_thread.store(std::thread::id{});
    if (seeded && link(temporary.c_str(), path.c_str()) != 0) {
        error = format("cannot publish the tag store %s: %s", path.c_str(), std::strerror(errno));
        seeded = false;
    }
    unlink(temporary.c_str());
    if (!seeded) {
        munmap(map, kLayout.file_size);
        return nullptr;
    }
    return s;
}

Store *open_store()
{
    std::string error = RtNodeDirectoryError();
    if (!error.empty()) {
        set_error(error);
        return nullptr;
    }
    const char *dir = RtNodeDirectory();
    struct stat st {};
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        set_error(format("node directory %s (RT_NODE_DIR) does not exist or is not a directory", dir));
        return nullptr;
    }
    bool create = create_allowed.load();
    DirectoryLock lock(create, error);
    Store *s = nullptr;
    if (lock.held()) {
        s = open_existing(error);
        if (s == nullptr && error.empty()) {
            if (create)
                s = create_new(error);
            else
                error = format("no node is there: %s has no tag store (start a service or the node first)", dir);
        }
    }
    set_error(s != nullptr ? std::string() : error);
    return s;
}

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

// The store lock. A holder killed after publishing a tag's count but before
// its index entry left the newest tag unfindable: the taker-over indexes it.
class StoreLock {
public:
    explicit StoreLock(Store *s) : lock_(&s->header->lock)
    {
        uint32_t newest = s->header->tag_count.load();
        if (lock_.taken_over() && newest != 0 && indexed_entry(s, s->tags[newest - 1].name) != newest)
            index_insert(s, s->tags[newest - 1].name, newest);
    }

private:
    RobustLock lock_;
};

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

// The slot table behind the header's inline by-entry calls.
void publish_slots(Store *s)
{
    KoTagTable.count = reinterpret_cast<const uint32_t *>(&s->header->tag_count);
    __atomic_store_n(&KoTagTable.slots, reinterpret_cast<KoTagSlotView *>(s->tags), __ATOMIC_RELEASE);
}

}  // namespace

Store *store()
{
    Store *s = opened.load(std::memory_order_acquire);
    if (s != nullptr)
        return s;
    if (seeding_store.load() != nullptr && seeding_thread.load() == std::this_thread::get_id())
        return seeding_store.load();
    std::lock_guard lock(open_mutex);
    s = opened.load(std::memory_order_acquire);
    if (s == nullptr) {
        s = open_store();
        if (s != nullptr) {
            opened.store(s, std::memory_order_release);
            publish_slots(s);
        }
    }
    return s;
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

extern "C" const char *KoStoreError(void)
{
    ko::store();
    return ko::store_error;
}

extern "C" void KoStoreAttachOnly(void)
{
    ko::create_allowed.store(false);
}
