// service_commands.cpp - ko status and ko ctl: the services of the node, from
// the node config and the running processes, and their control codes.
#include "commands.h"
#include "node_config.h"
#include "output.h"
#include "suggest.h"
#include "rt.h"
#include "tag_text.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace kotool {
namespace {

struct ServiceRow {
    std::string name;
    std::string short_name;
    int32_t pid = 0;  // 0: not running
};

// Configured services first (in config order), then running ones the config does not name.
std::vector<ServiceRow> services()
{
    std::vector<ServiceRow> rows;
    ko::NodeConfig config;
    std::string error;
    if (ko::load_node_config(ko::node_config_path(), config, error))
        for (const ko::ServiceDecl &s : config.services)
            rows.push_back({s.name, s.short_name, 0});
    std::vector<KoServiceInfo> running(KoServiceEnumerate(nullptr, 0) + 8);
    uint32_t n = KoServiceEnumerate(running.data(), static_cast<uint32_t>(running.size()));
    for (uint32_t i = 0; i < n && i < running.size(); ++i) {
        bool known = false;
        for (ServiceRow &r : rows) {
            if (r.name == running[i].name) {
                r.pid = running[i].pid;
                known = true;
            }
        }
        if (!known)
            rows.push_back({running[i].name, running[i].short_name, running[i].pid});
    }
    return rows;
}

// A status tag's value as text, "-" when the tag does not exist.
std::string tag_value(const std::string &name)
{
    Tag t;
    uint32_t status = KO_E_NOT_FOUND;
    std::string value;
    if (find(name, t))
        value = value_text(t.entry, t.info, status);
    return status == KO_OK ? value : "-";
}

// A time tag in ms with 3 decimals, as the node's screen shows it.
std::string ms_value(const std::string &name)
{
    float ms = 0;
    Tag t;
    if (!find(name, t) || t.info.type != KO_TYPE_F32 || KoTagReadByEntry(t.entry, &ms, 4) != KO_OK)
        return tag_value(name);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms));
    return text;
}

// The simulated EtherCAT masters a service runs: their State tags carry the
// service's name in the "Service" property.
struct MasterRow {
    std::string bus, state, cycles, lost;
};
std::vector<MasterRow> masters_of(const std::string &service)
{
    std::vector<MasterRow> rows;
    for (const Tag &t : tags_matching("ECATSIM.*.State")) {
        std::string name = t.info.name;
        if (property(name, "Service") != service)
            continue;
        std::string prefix = name.substr(0, name.size() - 5);  // "ECATSIM.BUS."
        rows.push_back({prefix.substr(8, prefix.size() - 9), tag_value(name), tag_value(prefix + "Cycles"),
                        tag_value(prefix + "LostCycles")});
    }
    return rows;
}

// A 0/1 state as a word for the table; other values as they are.
std::string in_words(const std::string &value, const char *zero, const char *one)
{
    return value == "0" ? zero : value == "1" ? one : value;
}

const char *state_word(const std::string &state)
{
    return state == "1" ? "init" : state == "2" ? "pre-op" : state == "4" ? "safe-op" : state == "8" ? "op" : "?";
}

constexpr const char *kStates[] = {"Status", "Run", "Error", "Connected", "Live"};
constexpr const char *kStatistics[] = {"Cnt", "Time", "TimeMin", "TimeMax", "LastError"};
// Their keys in JSON; times are in ms.
constexpr const char *kStateKeys[] = {"status", "run", "error", "connected", "live"};
constexpr const char *kStatisticKeys[] = {"cycles", "time_ms", "time_min_ms", "time_max_ms", "last_error"};

}  // namespace

int status(const Options &options, const std::string &only)
{
    if (!store_usable())
        return kFailed;
    std::vector<ServiceRow> rows;
    for (ServiceRow &r : services())
        if (only.empty() || r.name == only || r.short_name == only)
            rows.push_back(r);
    if (!only.empty() && rows.empty()) {
        std::vector<std::string> names;
        for (const ServiceRow &r : services())
            names.push_back(r.name);
        std::fprintf(stderr, "ko: no service %s in the node config or running%s\n", only.c_str(),
                     ko::did_you_mean(only, names).c_str());
        return kFailed;
    }
    if (!options.json && !options.terse)
        std::printf("%-27s %-7s %7s %-8s %-7s %-5s %-9s %10s\n", "SERVICE", "SHORT", "PID", "STATUS", "RUN", "ERROR",
                    "CONNECTED", "LIVE");
    JsonWriter json;
    json.array();
    for (const ServiceRow &r : rows) {
        std::string prefix = "SERVICE." + r.name + ".";
        std::vector<std::string> states;
        for (const char *key : kStates)
            states.push_back(tag_value(prefix + key));
        // Status 1 with no live process: it died without reporting its end.
        if (r.pid == 0 && states[0] == "1")
            states[0] = "dead";
        std::string pid = r.pid != 0 ? std::to_string(r.pid) : "-";
        std::string device_ok = tag_value(prefix + "DeviceOK");  // a Modbus client's device
        if (options.json) {
            json.object().text("name", r.name).text("short_name", r.short_name).number("pid", pid);
            for (size_t i = 0; i < states.size(); ++i)
                states[i] == "dead" ? json.text(kStateKeys[i], states[i]) : json.number(kStateKeys[i], states[i]);
            if (device_ok != "-")
                json.number("device_ok", device_ok)
                    .number("device_failures", tag_value(prefix + "DeviceFailures"))
                    .text("device_reason", property(prefix + "DeviceOK", "Reason"));
            json.array("threads");
        } else if (options.terse) {
            std::printf("%s %s %s %s %s %s %s %s\n", r.name.c_str(), r.short_name.c_str(), pid.c_str(),
                        states[0].c_str(), states[1].c_str(), states[2].c_str(), states[3].c_str(), states[4].c_str());
        } else {
            std::printf("%-27s %-7s %7s %-8s %-7s %-5s %-9s %10s\n", r.name.c_str(), r.short_name.c_str(), pid.c_str(),
                        in_words(states[0], "stopped", "started").c_str(), in_words(states[1], "paused", "running").c_str(),
                        in_words(states[2], "ok", "error").c_str(), in_words(states[3], "no", "yes").c_str(),
                        states[4].c_str());
            if (device_ok == "0")
                std::printf("  device failing: %s\n", printable(property(prefix + "DeviceOK", "Reason")).c_str());
        }
        for (const char *direction : {"In", "Out"}) {
            for (int n = 0; n < 32; ++n) {
                char thread[16];
                std::snprintf(thread, sizeof thread, "%sThread%02d", direction, n);
                std::vector<std::string> values;
                for (const char *key : kStatistics) {
                    std::string tag = prefix + thread + "_" + key;
                    bool time = std::string(key).rfind("Time", 0) == 0;
                    values.push_back(time ? ms_value(tag) : tag_value(tag));
                }
                if (values[0] == "-")
                    continue;
                if (options.json) {
                    json.object().text("name", thread);
                    for (size_t i = 0; i < values.size(); ++i)
                        json.number(kStatisticKeys[i], values[i]);
                    json.end();
                } else if (!options.terse) {
                    std::printf("  %-10s cycles %s  time %s ms  min %s ms  max %s ms  last error %s\n", thread,
                                values[0].c_str(), values[1].c_str(), values[2].c_str(), values[3].c_str(),
                                values[4].c_str());
                }
            }
        }
        if (options.json)
            json.end().array("ethercat");
        for (const MasterRow &m : masters_of(r.name)) {
            if (options.json)
                json.object().text("bus", m.bus).number("state", m.state).number("cycles", m.cycles).number(
                    "lost_cycles", m.lost).end();
            else if (!options.terse)
                std::printf("  EtherCAT  bus %s  state %s (%s)  cycles %s  lost cycles %s\n", m.bus.c_str(),
                            m.state.c_str(), state_word(m.state), m.cycles.c_str(), m.lost.c_str());
        }
        if (options.json)
            json.end().end();
    }
    if (options.json)
        json.print();
    return kDone;
}

namespace {

// The running service of that name or short name, or none.
const ServiceRow *running_service(const std::vector<ServiceRow> &rows, const std::string &name)
{
    for (const ServiceRow &r : rows)
        if (r.pid != 0 && (r.name == name || r.short_name == name))
            return &r;
    return nullptr;
}

// "no running service X": the running ones named, and the closest of them.
void report_unknown(const std::vector<ServiceRow> &rows, const std::string &name)
{
    std::string running;
    std::vector<std::string> names;
    for (const ServiceRow &r : rows) {
        if (r.pid == 0)
            continue;
        running += (running.empty() ? "" : ", ") + r.name;
        names.push_back(r.name);
        names.push_back(r.short_name);
    }
    std::string meant = ko::closest(name, names);
    std::fprintf(stderr, "ko: no running service %s%s; %s\n", printable(name).c_str(),
                 meant.empty() ? "" : (" (did you mean " + meant + "?)").c_str(),
                 running.empty() ? "no service runs in this node" : ("running: " + running).c_str());
}

}  // namespace

int ctl(const std::string &service, const std::string &command, bool wait)
{
    if (!store_usable())
        return kFailed;
    const uint32_t code = command == "run"     ? EM_SERVICE_RUN
                          : command == "stop"  ? EM_SERVICE_STOP
                          : command == "pause" ? EM_SERVICE_PAUSE
                                               : EM_SERVICE_TRIGGER;
    std::vector<ServiceRow> rows = services();
    const ServiceRow *target = running_service(rows, service);
    uintptr_t mailbox = 0;
    if (target == nullptr || KoMailboxOpen(service.c_str(), KO_MAILBOX_SEND, &mailbox) != KO_OK) {
        report_unknown(rows, service);
        return kFailed;
    }
    uint32_t status = KoMailboxSend(mailbox, service.c_str(), code, nullptr, 0);
    KoMailboxClose(mailbox);
    if (status != KO_OK) {
        std::fprintf(stderr, "ko: service %s did not take %s: %s\n", service.c_str(), command.c_str(),
                     KoStatusText(status));
        return kFailed;
    }
    if (code != EM_SERVICE_STOP || !wait)
        return kDone;
    // A stop ends the service's process: wait for that, at most 20 s (a
    // process that has ended but is not reaped yet counts as ended).
    int32_t pid = target->pid;
    for (int i = 0; i < 2000; ++i) {
        if (RtProcessStartTime(pid) == 0)
            return kDone;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "ko: service %s (pid %d) has not ended within 20 s of stop\n", service.c_str(),
                 static_cast<int>(pid));
    return kFailed;
}

}  // namespace kotool
