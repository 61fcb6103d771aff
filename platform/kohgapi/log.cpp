// log.cpp - KoLogWrite: one line per call appended to RT_NODE_DIR/node.log
// with a single write on an O_APPEND descriptor, so lines of many threads
// and processes never interleave. Control characters of every field are
// escaped, so no call can write a second line. The log rotates at a size
// bound (node.log -> node.log.1 -> ... -> node.log.3, the oldest dropped);
// the process that finds the file over the bound rotates it under a flock,
// and the others follow to the new file at their next line. A real-time
// thread's line goes through the log ring instead (log_ring.h): it never
// waits for the file.
#include "kohgapi.h"
#include "log_ring.h"
#include "rt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kLineMax = 4096;
constexpr const char *kLogFile = "node.log";
constexpr int kKeptFiles = 3;
constexpr off_t kDefaultMaxBytes = 16 << 20;

off_t max_bytes()
{
    static const off_t limit = [] {
        const char *v = std::getenv("KO_LOG_MAX_BYTES");
        long long n = v != nullptr ? std::atoll(v) : 0;
        return n >= static_cast<long long>(kLineMax) ? static_cast<off_t>(n) : kDefaultMaxBytes;
    }();
    return limit;
}

bool echo_to_stderr()
{
    static const bool echo = [] {
        const char *v = std::getenv("KO_LOG_STDERR");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return echo;
}

std::string log_path(int generation)
{
    std::string path = std::string(RtNodeDirectory()) + "/" + kLogFile;
    return generation == 0 ? path : path + "." + std::to_string(generation);
}

// The log file of this process, reopened when another process rotated it.
class LogFile {
public:
    // Under the mutex: a descriptor that ends in the current node.log, -1 when
    // there is none.
    int prepared()
    {
        struct stat st {};
        if (fd_ >= 0 && (fstat(fd_, &st) != 0 || st.st_size < max_bytes()))
            return fd_;
        if (fd_ < 0) {
            fd_ = RtOpenNodeFile(kLogFile, O_WRONLY | O_APPEND | O_CREAT);
            return fd_;
        }
        rotate(st);
        return fd_;
    }
    std::mutex mutex;

private:
    void rotate(const struct stat &mine)
    {
        flock(fd_, LOCK_EX);
        struct stat now {};
        if (lstat(log_path(0).c_str(), &now) == 0 && now.st_ino == mine.st_ino && now.st_dev == mine.st_dev) {
            for (int g = kKeptFiles; g > 0; --g)
                std::rename(log_path(g - 1).c_str(), log_path(g).c_str());
        }
        flock(fd_, LOCK_UN);
        close(fd_);
        fd_ = RtOpenNodeFile(kLogFile, O_WRONLY | O_APPEND | O_CREAT);
    }

    int fd_ = -1;
};
LogFile log_file;

// Appends text with line breaks and tabs written as \n, \r, \t and every
// other control character as \xNN.
size_t append_escaped(char *line, size_t at, size_t max, const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        char escape = *p == '\n' ? 'n' : *p == '\r' ? 'r' : *p == '\t' ? 't' : 0;
        if (escape != 0 && at + 2 < max) {
            line[at++] = '\\';
            line[at++] = escape;
        } else if ((*p < 0x20 || *p == 0x7F) && at + 4 < max) {
            at += static_cast<size_t>(std::snprintf(line + at, 5, "\\x%02x", *p));
        } else if (*p >= 0x20 && *p != 0x7F && at + 1 < max) {
            line[at++] = static_cast<char>(*p);
        } else {
            break;
        }
    }
    return at;
}

const char *or_dash(const char *text)
{
    return text != nullptr && text[0] != '\0' ? text : "-";
}

}  // namespace

extern "C" uint32_t KoLogWrite(const char *source, const char *level, const char *text)
{
    char line[kLineMax];
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ %d ", utc.tm_year + 1900,
                          utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000,
                          static_cast<int>(getpid()));
    size_t at = static_cast<size_t>(n);
    const size_t room = sizeof line - 3;  // the two spaces and the line break always fit
    at = append_escaped(line, at, room, or_dash(source));
    line[at++] = ' ';
    at = append_escaped(line, at, room, or_dash(level));
    line[at++] = ' ';
    at = append_escaped(line, at, room, text != nullptr ? text : "");
    line[at++] = '\n';
    if (RtThreadIsRealtime())
        return ko::log_ring_put(line, at) ? KO_OK : KO_E_STORE;
    return ko::log_write_line(line, at) ? KO_OK : KO_E_STORE;
}

bool ko::log_write_line(const char *line, size_t length)
{
    bool written;
    {
        std::lock_guard lock(log_file.mutex);
        int fd = log_file.prepared();
        written = fd >= 0 && write(fd, line, length) == static_cast<ssize_t>(length);
    }
    if (echo_to_stderr())
        [[maybe_unused]] ssize_t ignored = write(2, line, length);
    return written;
}
