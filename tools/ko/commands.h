// commands.h - the ko subcommands, one function each, returning the exit code.
#pragma once

#include <string>
#include <vector>

namespace kotool {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Options {
    bool terse = false;
    bool json = false;
};

int list(const Options &options, const std::string &glob);
int get(const Options &options, const std::vector<std::string> &names);
// A missing tag is made only with create or a type.
int set(const Options &options, const std::string &type, const std::string &tag, const std::string &value, bool create);
int watch(const Options &options, const std::vector<std::string> &globs, unsigned interval_ms, unsigned rounds);
int status(const Options &options, const std::string &service);
// stop waits until the service's process has ended unless wait is false.
int ctl(const std::string &service, const std::string &command, bool wait);
struct LogOptions {
    bool follow = false;
    unsigned last = 0;       // -n: only the last lines (0: all)
    std::string level;       // at least this level: DBG, INF/OPE, WRN, ERR
    std::string service;     // lines of this source only
    std::string since;       // lines at or after this time (ISO text, or 30s, 10m, 2h, 1d ago)
    bool json = false;
};
int log(const LogOptions &options);
struct DumpOptions {
    unsigned count = 0;      // frames to print; 0: until Ctrl-C
    char time_mode = 0;      // display timestamps: a, A, d, z or none
    bool log_format = false; // -L: candump's log format on standard output
    std::string log_file;    // -l: that format into this file
    bool json = false;
};
int can_dump(int channel, const DumpOptions &options);
int can_send(int channel, const std::string &frame);
int can_status(const Options &options);

}  // namespace kotool
