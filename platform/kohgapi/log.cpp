// log.cpp - KoLogWrite: one line per call appended to RT_NODE_DIR/node.log
// with a single write on an O_APPEND descriptor, so lines of many threads
// and processes never interleave.
#include "kohgapi.h"
#include "rt.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t kLineMax = 4096;

int log_fd()
{
    static std::once_flag once;
    static int fd = -1;
    std::call_once(once, [] {
        std::string path = std::string(RtNodeDirectory()) + "/node.log";
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    });
    return fd;
}

bool echo_to_stderr()
{
    static const bool echo = [] {
        const char *v = std::getenv("KO_LOG_STDERR");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return echo;
}

// Appends text with line breaks and tabs written as \n, \r, \t.
size_t append_escaped(char *line, size_t at, size_t max, const char *text)
{
    for (const char *p = text; *p != '\0' && at + 2 < max; ++p) {
        char escape = *p == '\n' ? 'n' : *p == '\r' ? 'r' : *p == '\t' ? 't' : 0;
        if (escape != 0) {
            line[at++] = '\\';
            line[at++] = escape;
        } else {
            line[at++] = *p;
        }
    }
    return at;
}

}  // namespace

extern "C" uint32_t KoLogWrite(const char *source, const char *level, const char *text)
{
    char line[kLineMax];
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ %d %s %s ", utc.tm_year + 1900,
                          utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000,
                          static_cast<int>(getpid()), source != nullptr && source[0] != '\0' ? source : "-",
                          level != nullptr ? level : "-");
    size_t at = n < 0 ? 0 : static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    at = append_escaped(line, at, sizeof line, text != nullptr ? text : "");
    line[at++] = '\n';
    int fd = log_fd();
    if (fd >= 0 && write(fd, line, at) != static_cast<ssize_t>(at))
        return KO_E_STORE;
    if (echo_to_stderr())
        [[maybe_unused]] ssize_t ignored = write(2, line, at);
    return fd >= 0 ? KO_OK : KO_E_STORE;
}
