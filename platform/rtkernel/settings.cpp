// settings.cpp - the environment of the process, read once into one record,
// and the node's name and directory that every component derives from it.
#include "kernel_internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
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

Settings read_settings()
{
    Settings s;
    s.node_name = env_or("RT_NODE_NAME", host_name());
    const char *dir = std::getenv("RT_NODE_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        s.node_dir = dir;
    } else {
        s.node_dir = "/dev/shm/rtnode-" + s.node_name;
        mkdir(s.node_dir.c_str(), 0777);  // the default node directory is ours to make
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
