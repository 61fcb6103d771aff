// settings.cpp - the environment of the process, read once into one record,
// and the node's name and directory that every component derives from it.
#include "kernel_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtk {
namespace {

std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? std::string(value) : fallback;
}

std::string host_name()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

std::string program_dir()
{
    char path[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string exe(path, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string user_name(uid_t uid)
{
    char buffer[1024];
    passwd entry{}, *found = nullptr;
    std::string id = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + " (" + id + ")";
    return id;
}

// The default directory sits in a folder every user can write to, so it is
// used only when it is really ours: a directory, not a link, owned by this
// user, writable by nobody outside its group. Empty when it is usable.
std::string check_default_dir(const std::string &dir)
{
    if (mkdir(dir.c_str(), 0770) != 0 && errno != EEXIST)
        return "cannot make the node directory " + dir + ": " + std::strerror(errno);
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        return "cannot use the node directory " + dir + ": " + std::strerror(errno);
    std::string refuse = "refusing the node directory " + dir + ": ";
    std::string advice = "; remove it or set RT_NODE_DIR to a directory of your own";
    if (S_ISLNK(st.st_mode))
        return refuse + "it is a symbolic link" + advice;
    if (!S_ISDIR(st.st_mode))
        return refuse + "it is not a directory" + advice;
    if (st.st_uid != geteuid())
        return refuse + "it belongs to " + user_name(st.st_uid) + ", not to " + user_name(geteuid()) + advice;
    if ((st.st_mode & S_IWOTH) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return refuse + "every user may write to it (mode " + mode + ")" + advice;
    }
    return {};
}

// Under RT_SCHED=fifo the process's real-time threads share one CPU, as the
// threads of one kernel node do: a release then hands over on that CPU at
// once instead of waking another, possibly halted, CPU. RT_CPU=N names it,
// RT_CPU=any leaves placement to Linux; the default is the last CPU the
// process may use, so that `taskset -c 2,3` puts the node on CPU 3.
// Without fifo the threads stay where Linux puts them unless RT_CPU names a
// CPU (konode names one per service, so that threads stop migrating).
int realtime_cpu(const std::string &wanted, bool fifo, std::string &note)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return -1;
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            last = cpu;
    if (wanted.empty())
        return fifo ? last : -1;
    if (wanted == "any")
        return -1;
    char *end = nullptr;
    long cpu = std::strtol(wanted.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed))
        return static_cast<int>(cpu);
    note = "RT_CPU=" + wanted + " is no CPU this process may use; real-time threads run " +
           (fifo ? "on CPU " + std::to_string(last) : std::string("where Linux places them"));
    return fifo ? last : -1;
}

Settings read_settings()
{
    Settings s;
    s.node_name = env_or("RT_NODE_NAME", host_name());
    const char *dir = std::getenv("RT_NODE_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        s.node_dir = dir;
    } else {
        s.node_dir = "/dev/shm/rtnode-" + s.node_name;
        s.node_dir_error = check_default_dir(s.node_dir);
    }
    while (s.node_dir.size() > 1 && s.node_dir.back() == '/')
        s.node_dir.pop_back();
    s.library_path = env_or("RT_LIBRARY_PATH", "");
    s.program_dir = program_dir();
    std::string tick = env_or("RT_KERNEL_TICK_US", "500");
    char *end = nullptr;
    unsigned long us = std::strtoul(tick.c_str(), &end, 10);
    s.tick_us = (end != nullptr && *end == '\0' && us >= 10 && us <= 10000) ? static_cast<uint32_t>(us) : 500;
    s.fifo = env_or("RT_SCHED", "") == "fifo";
    s.rt_cpu = realtime_cpu(env_or("RT_CPU", ""), s.fifo, s.rt_cpu_note);
    std::string fd = env_or("RT_READY_FD", "");
    if (!fd.empty()) {
        long v = std::strtol(fd.c_str(), &end, 10);
        if (end != nullptr && *end == '\0' && v >= 0 && v < INT_MAX)
            s.ready_fd = static_cast<int>(v);
    }
    return s;
}

}  // namespace

const Settings &settings()
{
    static const Settings s = read_settings();
    return s;
}

}  // namespace rtk

extern "C" const char *RtNodeDirectory(void)
{
    return rtk::settings().node_dir.c_str();
}

extern "C" const char *RtNodeName(void)
{
    return rtk::settings().node_name.c_str();
}

extern "C" const char *RtNodeDirectoryError(void)
{
    return rtk::settings().node_dir_error.c_str();
}

extern "C" int RtOpenNodeFile(const char *name, int flags)
{
    const rtk::Settings &s = rtk::settings();
    if (!s.node_dir_error.empty() || name == nullptr || std::strchr(name, '/') != nullptr) {
        errno = EACCES;
        return -1;
    }
    std::string path = s.node_dir + "/" + name;
    // Never through a link; created for the owner and the node's group only.
    return open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0660);
}
