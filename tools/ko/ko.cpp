// ko - the node's command-line tool: tags, values, services, log.
//
//   ko list [GLOB]                    name, type, value, description
//   ko get TAG...                     each value alone on its line
//   ko set [--create] [--type T] TAG VALUE
//                                     write; a missing tag only with --create or --type
//   ko watch GLOB... [-i MS] [-n N]   values every MS; "*" marks a change
//   ko status [SERVICE]               services, their state and threads
//   ko ctl SERVICE run|stop|pause|trigger
//   ko log [-f] [-n N] [--level L] [--service S] [--since T]
//                                     the node log, filtered, optionally followed
//   ko can dump CH [-n N] [-t a|A|d|z] [-L | -l FILE]
//                                     CAN frames received on a channel (candump's display;
//                                     -L its log format, -l FILE that format into a file)
//   ko can send CH ID#DATA            one frame (cansend text: 123#DEADBEEF, 12345678#R)
//   ko can status                     the CAN channels, their queues and flags
// -s: headerless one-record lines; --json: machine output.
// Exit: 0 done, 1 failed (missing tag, service not answering), 2 usage.
#include "commands.h"
#include "kohgapi.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

namespace {

constexpr const char *kCommands[] = {"list", "get", "set", "watch", "status", "ctl", "log", "can"};

// The first word that is no option must be a command: name it when it is not.
bool unknown_command(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word[0] == '-')
            continue;
        for (const char *command : kCommands)
            if (word == command)
                return false;
        std::string known;
        for (const char *command : kCommands)
            known += std::string(" ") + command;
        std::fprintf(stderr, "ko: unknown command \"%s\"; the commands are:%s (ko --help)\n", word.c_str(),
                     known.c_str());
        return true;
    }
    return false;
}

// "-3", "-.25", "-inf": a value, not an option.
bool negative_number(const char *word)
{
    if (word[0] != '-' || word[1] == '\0' || word[1] == '-')
        return false;
    char *end = nullptr;
    std::strtod(word, &end);
    return end != nullptr && *end == '\0';
}

// After "set" a negative number is a value: "--" goes before it, so that the
// parser does not take it for an option.
std::vector<char *> with_values_marked(int argc, char **argv)
{
    std::vector<char *> out(argv, argv + argc);
    static char marker[] = "--";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "set") != 0)
            continue;
        for (int k = i + 1; k < argc; ++k)
            if (negative_number(argv[k])) {
                out.insert(out.begin() + k, marker);
                break;
            }
        break;
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    KoStoreAttachOnly();  // a tool looks at a node; it never makes one
    if (unknown_command(argc, argv))
        return kotool::kUsage;
    std::vector<char *> words = with_values_marked(argc, argv);
    argc = static_cast<int>(words.size());
    argv = words.data();
    CLI::App app{"ko - tags, values, services and log of the node in RT_NODE_DIR"};
    app.set_version_flag("--version", "ko " KO_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // -s and --json anywhere on the line: subcommands inherit this
    kotool::Options options;
    app.add_flag("-s,--short", options.terse, "headerless one-record lines");
    app.add_flag("--json", options.json, "machine output (JSON)");
    app.footer("The node: RT_NODE_DIR (default /dev/shm/rtnode-HOST).\n"
               "Exit: 0 done, 1 failed (a missing tag, a service not answering), 2 usage.\n"
               "Examples:\n"
               "  ko list 'Line1.*'              tags, types, values\n"
               "  ko set Line1.Setpoint 1234     write a tag\n"
               "  ko set --create Test.Level 2.5 make a new tag\n"
               "  ko watch 'SERVICE.ECAT.*'      live values\n"
               "  ko status --json               services, machine-readable\n"
               "  ko log --level WRN -n 20       the last warnings and errors\n"
               "  ko can send 0 123#DEADBEEF     a CAN frame");

    std::string glob;
    auto *list = app.add_subcommand("list", "list tags: name, type, value, description");
    list->add_option("GLOB", glob, "tag name pattern (*, ?, [..])");

    std::vector<std::string> names;
    auto *get = app.add_subcommand("get", "print tag values, one per line");
    get->add_option("TAG", names, "tag names")->required();

    std::string set_type, set_tag, set_value;
    bool create = false;
    auto *set = app.add_subcommand("set", "write a tag value (--create or --type makes a missing tag)");
    set->add_option("--type", set_type, "type of the tag, and of a tag to make: u8 i8 byte i16 u16 u32 i32 i64 u64 f32 f64");
    set->add_flag("--create", create, "make the tag when it is missing (its type from the value, or --type)");
    set->add_option("TAG", set_tag, "tag name")->required();
    set->add_option("VALUE", set_value, "value")->required();

    std::vector<std::string> globs;
    unsigned interval_ms = 500, rounds = 0;
    auto *watch = app.add_subcommand("watch", "print values every interval; * marks a changed value");
    watch->add_option("GLOB", globs, "tag name patterns")->required();
    watch->add_option("-i,--interval", interval_ms, "interval in ms (default 500)")->check(CLI::Range(10u, 3600000u));
    watch->add_option("-n,--count", rounds, "stop after this many rounds (default: until Ctrl-C)");

    std::string service;
    auto *status = app.add_subcommand("status", "services: state, live counter, threads");
    status->add_option("SERVICE", service, "one service");

    std::string ctl_service, ctl_command;
    auto *ctl = app.add_subcommand("ctl", "send run, stop, pause or trigger to a service");
    ctl->add_option("SERVICE", ctl_service, "service name or short name")->required();
    ctl->add_option("COMMAND", ctl_command, "run | stop | pause | trigger")
        ->required()
        ->check(CLI::IsMember({"run", "stop", "pause", "trigger"}));
    bool no_wait = false;
    ctl->add_flag("--no-wait", no_wait, "stop: return at once instead of waiting until the process has ended");

    kotool::LogOptions log_options;
    auto *log = app.add_subcommand("log", "print the node log (TIME PID SOURCE LEVEL TEXT)");
    log->add_flag("-f,--follow", log_options.follow, "keep printing new lines");
    log->add_option("-n,--lines", log_options.last, "only the last N lines");
    log->add_option("--level", log_options.level, "lines of this level and above: DBG, INF, OPE, WRN, ERR");
    log->add_option("--service", log_options.service, "lines of this source only (a service, or konode)");
    log->add_option("--since", log_options.since, "lines from this time on: 30s, 10m, 2h, 1d ago, or 2026-12-09T13:50");

    auto *can = app.add_subcommand("can", "CAN frames of the gateway channels (candump / cansend text)");
    can->require_subcommand(1);
    int channel = 0;
    unsigned frames = 0;
    std::string time_mode, frame;
    auto *dump = can->add_subcommand("dump", "print frames received on a channel until Ctrl-C");
    dump->add_option("CH", channel, "channel number")->required();
    dump->add_option("-n,--count", frames, "stop after this many frames");
    dump->add_option("-t,--time", time_mode, "timestamps: a absolute, A with date, d delta, z from the first")
        ->check(CLI::IsMember({"a", "A", "d", "z"}));
    kotool::DumpOptions dump_options;
    auto *log_format = dump->add_flag("-L,--log-format", dump_options.log_format,
                                      "candump's log format: (SECONDS.MICROS) chN ID#DATA (log2asc, log2long, python-can)");
    dump->add_option("-l,--log-file", dump_options.log_file, "append the log format to this file instead of printing")
        ->excludes(log_format);
    auto *send = can->add_subcommand("send", "send one frame on a channel");
    send->add_option("CH", channel, "channel number")->required();
    send->add_option("FRAME", frame, "ID#DATA: 123#DEADBEEF, 12345678#11.22, 123#R")->required();
    auto *can_status = can->add_subcommand("status", "channels: format, slave, queues, overrun flags, device state");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kotool::kUsage;
    }

    if (*list)
        return kotool::list(options, glob);
    if (*get)
        return kotool::get(options, names);
    if (*set)
        return kotool::set(options, set_type, set_tag, set_value, create);
    if (*watch)
        return kotool::watch(options, globs, interval_ms, rounds);
    if (*status)
        return kotool::status(options, service);
    if (*ctl)
        return kotool::ctl(ctl_service, ctl_command, !no_wait);
    if (*dump)
    {
        dump_options.count = frames;
        dump_options.time_mode = time_mode.empty() ? 0 : time_mode[0];
        dump_options.json = options.json;
        return kotool::can_dump(channel, dump_options);
    }
    if (*send)
        return kotool::can_send(channel, frame);
    if (*can_status)
        return kotool::can_status(options);
    log_options.json = options.json;
    return kotool::log(log_options);
}
