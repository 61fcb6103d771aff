// log_command.cpp - ko log: prints the node log, the rotated files first
// (node.log.3 .. node.log.1, oldest first), and with -f keeps printing what
// is appended, following the log to its new file when it rotates. A line is
// "TIME PID SOURCE LEVEL TEXT"; the filters look at those fields.
#include "commands.h"
#include "output.h"
#include "rt.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace kotool {
namespace {

constexpr int kRotatedFiles = 3;

std::string log_path(int generation)
{
    std::string path = std::string(RtNodeDirectory()) + "/node.log";
    return generation == 0 ? path : path + "." + std::to_string(generation);
}

// Whether the node log is now another file than the one open.
bool rotated_away(FILE *file)
{
    struct stat open_file {}, named {};
    return fstat(fileno(file), &open_file) == 0 &&
           (stat(log_path(0).c_str(), &named) != 0 || named.st_ino != open_file.st_ino);
}

struct Line {
    std::string time, pid, source, level, text;
};

Line fields(const std::string &line)
{
    Line l;
    size_t at = 0;
    for (std::string *field : {&l.time, &l.pid, &l.source, &l.level}) {
        size_t space = line.find(' ', at);
        if (space == std::string::npos) {
            l.text = line.substr(at);
            return l;
        }
        *field = line.substr(at, space - at);
        at = space + 1;
    }
    l.text = line.substr(at);
    return l;
}

int severity(const std::string &level)
{
    return level == "DBG" ? 0 : level == "INF" || level == "OPE" ? 1 : level == "WRN" ? 2 : level == "ERR" ? 3 : 1;
}

// The log's time text of a moment: "2026-12-09T13:53:18.000000Z".
std::string iso_time(std::chrono::system_clock::time_point when)
{
    time_t t = std::chrono::system_clock::to_time_t(when);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    return text;
}

class Filter {
public:
    // false with the reason when an option cannot be used.
    bool set(const LogOptions &o, std::string &why)
    {
        options_ = o;
        if (!o.level.empty() && o.level != "DBG" && o.level != "INF" && o.level != "OPE" && o.level != "WRN" &&
            o.level != "ERR") {
            why = "--level " + o.level + ": expected DBG, INF, OPE, WRN or ERR";
            return false;
        }
        if (o.since.empty())
            return true;
        // 30s, 10m, 2h, 1d ago; else a time as the log writes it (a prefix will do).
        char unit = o.since.back();
        std::string digits = o.since.substr(0, o.since.size() - 1);
        if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
            std::string("smhd").find(unit) != std::string::npos) {
            long seconds = std::stol(digits) * (unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 86400);
            since_ = iso_time(std::chrono::system_clock::now() - std::chrono::seconds(seconds));
        } else if (o.since.size() >= 10 && o.since[4] == '-' && o.since[7] == '-') {
            since_ = o.since;
        } else {
            why = "--since " + o.since + ": expected 30s, 10m, 2h, 1d or a time such as 2026-12-09T13:50";
            return false;
        }
        return true;
    }
    bool keeps(const Line &l) const
    {
        if (!options_.level.empty() && severity(l.level) < severity(options_.level))
            return false;
        if (!options_.service.empty() && l.source != options_.service)
            return false;
        return since_.empty() || l.time.compare(0, since_.size(), since_) >= 0;
    }

private:
    LogOptions options_;
    std::string since_;
};

void print(const std::string &line, bool json)
{
    if (!json) {
        std::printf("%s\n", line.c_str());
        return;
    }
    Line l = fields(line);
    JsonWriter().object().text("time", l.time).number("pid", l.pid).text("source", l.source).text("level", l.level)
        .text("text", l.text).print();
}

// Reads whole lines from a file's read position; a partial last line waits in pending.
template <typename Each>
void read_lines(FILE *file, std::string &pending, Each each)
{
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        pending.append(buffer, n);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            each(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    std::clearerr(file);
}

}  // namespace

int log(const LogOptions &options)
{
    Filter filter;
    if (std::string why; !filter.set(options, why)) {
        std::fprintf(stderr, "ko: log: %s\n", why.c_str());
        return kUsage;
    }
    std::deque<std::string> shown;
    auto keep = [&](const std::string &line) {
        if (!filter.keeps(fields(line)))
            return;
        shown.push_back(line);
        if (options.last != 0 && shown.size() > options.last)
            shown.pop_front();
    };
    std::string pending;
    for (int g = kRotatedFiles; g > 0; --g)
        if (FILE *old = std::fopen(log_path(g).c_str(), "r")) {
            read_lines(old, pending, keep);
            std::fclose(old);
            pending.clear();
        }
    FILE *file = std::fopen(log_path(0).c_str(), "r");
    while (file == nullptr && options.follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        file = std::fopen(log_path(0).c_str(), "r");
    }
    if (file == nullptr) {
        std::fprintf(stderr, "ko: %s: no log yet\n", log_path(0).c_str());
        return kFailed;
    }
    read_lines(file, pending, keep);
    for (const std::string &line : shown)
        print(line, options.json);
    auto show = [&](const std::string &line) {
        if (filter.keeps(fields(line)))
            print(line, options.json);
    };
    while (options.follow) {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        read_lines(file, pending, show);
        if (rotated_away(file)) {
            read_lines(file, pending, show);  // the last lines written before the rotation
            if (FILE *next = std::fopen(log_path(0).c_str(), "r")) {
                std::fclose(file);
                file = next;
                pending.clear();
            }
        }
    }
    std::fclose(file);
    return kDone;
}

}  // namespace kotool
