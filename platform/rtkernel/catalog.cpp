// catalog.cpp - object directories. The process directory lives in memory;
// the root directory is node-wide: a file in the node directory, locked with
// flock (released by the kernel even when a holder is killed) and mapped for
// each operation. Entries whose owner process has ended are dropped whenever
// the root directory is opened, so tools only ever list live services.
#include "kernel_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtk {
namespace {

constexpr size_t kMaxName = 12;
constexpr size_t kCapacity = 3840;
constexpr uint32_t kRootMagic = 0x52434154;  // "RCAT"
constexpr uint32_t kRootVersion = 1;

// ---- process directory ----------------------------------------------------
std::mutex local_mutex;
std::map<std::string, RTHANDLE> local_directory;

// ---- root directory -------------------------------------------------------
struct RootHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t capacity;
    uint32_t reserved;
};

struct RootRecord {
    char name[kMaxName + 1];
    uint8_t used;
    RTHANDLE object;
    int32_t pid;
    uint32_t reserved;
    uint64_t start_time;  // of the owner process, so a reused pid is not taken for it
};
static_assert(sizeof(RootRecord) == 32);

struct RootFile {
    RootHeader header;
    RootRecord records[kCapacity];
};

}  // namespace
}  // namespace rtk

extern "C" uint64_t RtProcessStartTime(int32_t pid)
{
    // open and read, not stdio: no allocation, so it is safe in a child
    // forked from a threaded process and cheap on the mailbox send path.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char line[1024] = {};
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0)
        return 0;
    line[n] = '\0';
    const char *p = std::strrchr(line, ')');
    if (p == nullptr || p[1] != ' ')
        return 0;
    // Field 3 is the state: a zombie (Z) or dead (X) process has ended.
    if (p[2] == 'Z' || p[2] == 'X')
        return 0;
    // Field 22 (starttime) is the 20th field after the closing parenthesis of the command.
    unsigned long long value = 0;
    int field = 2;
    for (const char *q = p + 1; *q != '\0'; ++q) {
        if (*q == ' ') {
            ++field;
            if (field == 22) {
                value = std::strtoull(q + 1, nullptr, 10);
                break;
            }
        }
    }
    return value;
}

namespace rtk {
namespace {

uint64_t own_start_time()
{
    static const uint64_t value = RtProcessStartTime(getpid());
    return value;
}

bool owner_alive(const RootRecord &record)
{
    if (kill(record.pid, 0) != 0 && errno == ESRCH)
        return false;
    return RtProcessStartTime(record.pid) == record.start_time;
}

// Opens, locks and maps the root directory for one operation.
class RootDirectory {
public:
    RootDirectory()
    {
        std::string path = settings().node_dir + "/root.catalog";
        fd_ = RtOpenNodeFile("root.catalog", O_RDWR | O_CREAT);
        if (fd_ < 0)
            return;
        if (flock(fd_, LOCK_EX) != 0)
            return;
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
            return;
        if (st.st_size == 0 && ftruncate(fd_, sizeof(RootFile)) != 0)
            return;
        if (st.st_size != 0 && st.st_size != static_cast<off_t>(sizeof(RootFile))) {
            std::fprintf(stderr, "rtkernel: %s has an unknown layout; remove it\n", path.c_str());
            return;
        }
        void *map = mmap(nullptr, sizeof(RootFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (map == MAP_FAILED)
            return;
        file_ = static_cast<RootFile *>(map);
        if (file_->header.magic == 0) {
            file_->header = RootHeader{kRootMagic, kRootVersion, kCapacity, 0};
        } else if (file_->header.magic != kRootMagic || file_->header.version != kRootVersion) {
            std::fprintf(stderr, "rtkernel: %s has magic %08x version %u, expected %08x version %u\n", path.c_str(),
                         file_->header.magic, file_->header.version, kRootMagic, kRootVersion);
            munmap(file_, sizeof(RootFile));
            file_ = nullptr;
            return;
        }
        drop_dead_owners();
    }
    ~RootDirectory()
    {
        if (file_ != nullptr)
            munmap(file_, sizeof(RootFile));
        if (fd_ >= 0)
            close(fd_);  // releases the lock
    }
    RootDirectory(const RootDirectory &) = delete;
    RootDirectory &operator=(const RootDirectory &) = delete;

    bool usable() const { return file_ != nullptr; }

    RootRecord *find(const char *name)
    {
        for (RootRecord &r : file_->records)
            if (r.used && std::strncmp(r.name, name, kMaxName) == 0)
                return &r;
        return nullptr;
    }

    RootRecord *free_record()
    {
        for (RootRecord &r : file_->records)
            if (!r.used)
                return &r;
        return nullptr;
    }

    RootFile &file() { return *file_; }

private:
    void drop_dead_owners()
    {
        for (RootRecord &r : file_->records)
            if (r.used && !owner_alive(r))
                std::memset(&r, 0, sizeof r);
    }

    int fd_ = -1;
    RootFile *file_ = nullptr;
};

enum class Directory { local, root, invalid };

// Which directory a process argument names; sets the last error when none.
Directory directory_of(RTHANDLE process)
{
    if (is_this_process(process))
        return Directory::local;
    if (process == root_process_handle())
        return Directory::root;
    Object *object = find_object(process);
    SetLastRtError(object == nullptr ? E_EXIST : E_TYPE);
    return Directory::invalid;
}

// 0 when the name is acceptable, else the status to report.
DWORD check_name(const char *name)
{
    if (name == nullptr)
        return E_BAD_ADDR;
    size_t length = strnlen(name, kMaxName + 1);
    return (length == 0 || length > kMaxName) ? E_PARAM : E_OK;
}

}  // namespace
}  // namespace rtk

using namespace rtk;

extern "C" BOOLEAN CatalogRtHandle(RTHANDLE process, RTHANDLE object, const char *name)
{
    if (DWORD status = check_name(name); status != E_OK)
        return fail(status, BOOLEAN{FALSE});
    if (object != NULL_RTHANDLE && find_object(object) == nullptr)
        return fail(E_EXIST, BOOLEAN{FALSE});
    switch (directory_of(process)) {
    case Directory::local: {
        std::lock_guard lock(local_mutex);
        if (local_directory.count(name) != 0)
            return fail(E_CONTEXT, BOOLEAN{FALSE});
        if (local_directory.size() >= kCapacity)
            return fail(E_LIMIT, BOOLEAN{FALSE});
        local_directory.emplace(name, object);
        return TRUE;
    }
    case Directory::root: {
        RootDirectory root;
        if (!root.usable())
            return fail(E_EXIST, BOOLEAN{FALSE});
        if (root.find(name) != nullptr)
            return fail(E_CONTEXT, BOOLEAN{FALSE});
        RootRecord *record = root.free_record();
        if (record == nullptr)
            return fail(E_LIMIT, BOOLEAN{FALSE});
        std::memset(record, 0, sizeof *record);
        std::memcpy(record->name, name, strnlen(name, kMaxName));
        record->object = object;
        record->pid = getpid();
        record->start_time = own_start_time();
        record->used = 1;
        return TRUE;
    }
    case Directory::invalid:
        break;
    }
    return FALSE;
}

extern "C" BOOLEAN UncatalogRtHandle(RTHANDLE process, const char *name)
{
    if (DWORD status = check_name(name); status != E_OK)
        return fail(status, BOOLEAN{FALSE});
    switch (directory_of(process)) {
    case Directory::local: {
        std::lock_guard lock(local_mutex);
        if (local_directory.erase(name) == 0)
            return fail(E_CONTEXT, BOOLEAN{FALSE});
        return TRUE;
    }
    case Directory::root: {
        RootDirectory root;
        if (!root.usable())
            return fail(E_EXIST, BOOLEAN{FALSE});
        RootRecord *record = root.find(name);
        if (record == nullptr)
            return fail(E_CONTEXT, BOOLEAN{FALSE});
        std::memset(record, 0, sizeof *record);
        return TRUE;
    }
    case Directory::invalid:
        break;
    }
    return FALSE;
}

extern "C" RTHANDLE LookupRtHandle(RTHANDLE process, const char *name, DWORD milliseconds)
{
    if (DWORD status = check_name(name); status != E_OK)
        return fail(status, BAD_RTHANDLE);
    Directory directory = directory_of(process);
    if (directory == Directory::invalid)
        return BAD_RTHANDLE;
    uint64_t deadline = monotonic_ns() + static_cast<uint64_t>(milliseconds) * 1'000'000ull;
    for (;;) {
        if (directory == Directory::local) {
            std::lock_guard lock(local_mutex);
            auto it = local_directory.find(name);
            if (it != local_directory.end())
                return it->second;
        } else {
            RootDirectory root;
            if (!root.usable())
                return fail(E_EXIST, BAD_RTHANDLE);
            if (RootRecord *record = root.find(name); record != nullptr)
                return record->object;
        }
        if (milliseconds != WAIT_FOREVER && monotonic_ns() >= deadline)
            return fail(E_TIME, BAD_RTHANDLE);
        sleep_ticks(10'000'000, 1);
    }
}

extern "C" DWORD EnumerateRtRootCatalog(RT_ROOT_ENTRY *entries, DWORD max)
{
    RootDirectory root;
    if (!root.usable())
        return 0;
    DWORD count = 0;
    for (const RootRecord &r : root.file().records) {
        if (!r.used)
            continue;
        if (entries != nullptr && count < max) {
            RT_ROOT_ENTRY &e = entries[count];
            std::memset(&e, 0, sizeof e);
            std::memcpy(e.name, r.name, sizeof e.name - 1);
            e.object = r.object;
            e.pid = r.pid;
        }
        ++count;
    }
    return count;
}
