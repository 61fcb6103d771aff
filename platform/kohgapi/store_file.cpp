// store_file.cpp - opening, creating and laying out the node's tag store.
//
// A new store is built and seeded under a temporary name and only then
// linked into place, while the node directory is locked (flock) against
// other creators; so a store that exists is complete, and a creator killed
// at any moment leaves either no store or a whole one. A store that is
// opened is checked field by field against the layout before it is used
// (store_check.cpp).
#include "store.h"

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

constexpr const char *kStoreFile = "tags.store";
constexpr const char *kNewStoreFile = "tags.store.new";
constexpr auto kCreationWait = std::chrono::seconds(20);

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

// Holds the node directory's lock (flock: released by the kernel when the
// holder dies): exclusive for a creator, shared for an opener, so nobody
// opens a store while another process is creating it. Waits a bounded time.
class DirectoryLock {
public:
    DirectoryLock(bool exclusive, std::string &error)
    {
        fd_ = open(RtNodeDirectory(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            error = format_text("cannot open the node directory %s: %s", RtNodeDirectory(), std::strerror(errno));
            return;
        }
        auto deadline = std::chrono::steady_clock::now() + kCreationWait;
        while (flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() > deadline) {
                error = format_text("another process has been creating the tag store in %s for %lld s; try again",
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
            error = format_text("cannot open the tag store %s: %s", path.c_str(),
                           errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = format_text("the tag store %s is not a regular file", path.c_str());
        return nullptr;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    void *map = size < sizeof(StoreHeader) ? MAP_FAILED
                                           : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = format_text("the tag store %s (%llu bytes) cannot be mapped; end the node's processes and remove the file",
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
        error = format_text("cannot create the tag store %s: %s", temporary.c_str(), std::strerror(errno));
        return nullptr;
    }
    void *map = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(kLayout.file_size)) == 0)
        map = mmap(nullptr, kLayout.file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = format_text("cannot size the tag store %s: %s", temporary.c_str(), std::strerror(errno));
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
        error = format_text("cannot publish the tag store %s: %s", path.c_str(), std::strerror(errno));
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
        set_error(format_text("node directory %s (RT_NODE_DIR) does not exist or is not a directory", dir));
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
                error = format_text("no node is there: %s has no tag store (start a service or the node first)", dir);
        }
    }
    set_error(s != nullptr ? std::string() : error);
    return s;
}

// The slot table behind the header's inline by-entry calls.
void publish_slots(Store *s)
{
    KoTagTable.count = reinterpret_cast<const uint32_t *>(&s->header->tag_count);
    __atomic_store_n(&KoTagTable.slots, reinterpret_cast<KoTagSlotView *>(s->tags), __ATOMIC_RELEASE);
}

}  // namespace

std::string format_text(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

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
