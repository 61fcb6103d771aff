// screen.cpp - the status screen and its plain-line form.
#include "screen.h"

#include "node_check.h"

#include "kohgapi.h"

#include <cstdio>
#include <dirent.h>
#include <sched.h>
#include <ctime>
#include <vector>

namespace konode {

std::string tag_text(const std::string &name)
{
    int64_t value = 0;
    return KoTagRead(name.c_str(), &value, 8) == KO_OK ? std::to_string(value) : "-";
}

std::vector<std::string> masters_of(const ko::NodeConfig &config, const std::string &service)
{
    std::vector<std::string> prefixes;
    for (const ko::EthercatDecl &e : config.ethercat.empty() ? std::vector<ko::EthercatDecl>{{"default", "", ""}}
                                                              : config.ethercat) {
        std::string m = "ECATSIM." + e.name + ".";
        char owner[64] = {};
        if (KoTagGetProperty((m + "State").c_str(), "Service", owner, sizeof owner) == KO_OK && service == owner)
            prefixes.push_back(m);
    }
    return prefixes;
}

namespace {

std::string milliseconds(const std::string &name)
{
    float value = 0;
    char text[32];
    if (KoTagRead(name.c_str(), &value, 4) != KO_OK)
        return "-";
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(value));
    return text;
}

void append(std::string &out, const char *format, auto... values)
{
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    out += line;
}

std::string now_text()
{
    time_t t = time(nullptr);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

int32_t service_pid(const std::string &service)
{
    std::vector<KoServiceInfo> running(KoServiceEnumerate(nullptr, 0) + 8);
    uint32_t n = KoServiceEnumerate(running.data(), static_cast<uint32_t>(running.size()));
    for (uint32_t i = 0; i < n && i < running.size(); ++i)
        if (service == running[i].name)
            return running[i].pid;
    return 0;
}

std::string service_cpu_text(int32_t pid)
{
    if (pid <= 0)
        return "-";
    DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (tasks == nullptr)
        return "-";
    std::string cpu = "-";
    while (dirent *task = readdir(tasks)) {
        cpu_set_t set;
        CPU_ZERO(&set);
        pid_t tid = static_cast<pid_t>(std::atoi(task->d_name));
        if (tid <= 0 || sched_getaffinity(tid, sizeof set, &set) != 0 || CPU_COUNT(&set) != 1)
            continue;
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &set))
                cpu = std::to_string(c);
        break;
    }
    closedir(tasks);
    return cpu;
}

std::string render_screen(const ko::NodeConfig &config, const std::map<std::string, ServiceNotes> &notes)
{
    std::string out;
    append(out, "node %s   %s   %s\n\n", config.name.empty() ? "(unnamed)" : config.name.c_str(), now_text().c_str(),
           node_contents(config).c_str());
    append(out, "%-17s %7s %3s %6s %3s %5s %4s %10s %8s  %s\n", "SERVICE", "PID", "CPU", "STATUS", "RUN", "ERROR",
           "CONN", "LIVE", "RESTARTS", "STATE");
    for (const ko::ServiceDecl &s : config.services) {
        std::string p = "SERVICE." + s.name + ".";
        auto note = notes.find(s.name);
        int32_t pid = service_pid(s.name);
        append(out, "%-17s %7s %3s %6s %3s %5s %4s %10s %8s  %s\n", s.name.c_str(),
               pid != 0 ? std::to_string(pid).c_str() : "-", service_cpu_text(pid).c_str(),
               tag_text(p + "Status").c_str(), tag_text(p + "Run").c_str(),
               tag_text(p + "Error").c_str(), tag_text(p + "Connected").c_str(), tag_text(p + "Live").c_str(),
               note != notes.end() ? std::to_string(note->second.restarts).c_str() : "-",
               note != notes.end() ? note->second.state.c_str() : "");
        for (const char *direction : {"In", "Out"})
            for (int n = 0; n < 32; ++n) {
                char thread[24];
                std::snprintf(thread, sizeof thread, "%sThread%02d", direction, n);
                std::string t = p + thread + "_";
                std::string count = tag_text(t + "Cnt");
                if (count == "-")
                    continue;
                append(out, "  %-12s cycles %-10s last %s ms  min %s  max %s\n", thread, count.c_str(),
                       milliseconds(t + "Time").c_str(), milliseconds(t + "TimeMin").c_str(),
                       milliseconds(t + "TimeMax").c_str());
            }
        for (const std::string &m : masters_of(config, s.name)) {
            std::string state = tag_text(m + "State"), bus = m.substr(8, m.size() - 9);
            for (const ko::EthercatDecl &e : config.ethercat)
                if (e.name == bus && !e.interface.empty())
                    bus += " on " + e.interface;  // a wire master
            append(out, "  EtherCAT     bus %s  state %s%s  cycles %s  lost %s\n", bus.c_str(), state.c_str(),
                   state == "8" ? " (op)" : "", tag_text(m + "Cycles").c_str(), tag_text(m + "LostCycles").c_str());
        }
        if (tag_text(p + "CAN.Status") != "-") {
            std::string channels = tag_text("SERVICE.ECAT.CAN.SlaveCount"), flags;
            for (int n = 0; channels != "-" && n < std::stoi(channels); ++n) {
                char c[48];
                std::snprintf(c, sizeof c, "SERVICE.ECAT.CAN.%02d.", n);
                if (tag_text(std::string(c) + "RxFrameFIFO.Overrun") == "1")
                    flags += " ch" + std::to_string(n) + "-rx";
                if (tag_text(std::string(c) + "TxFrameFIFO.Overrun") == "1")
                    flags += " ch" + std::to_string(n) + "-tx";
            }
            append(out, "  CAN          run %s  error %s  channels %s  sent %s  received %s  overrun:%s\n",
                   tag_text(p + "CAN.Run").c_str(), tag_text(p + "CAN.Error").c_str(), channels.c_str(),
                   tag_text(p + "CAN.TxCount").c_str(), tag_text(p + "CAN.RxCount").c_str(),
                   flags.empty() ? " none" : flags.c_str());
        }
    }
    for (const ko::AppDecl &a : config.apps) {
        auto note = notes.find("app:" + a.name);
        append(out, "app %-13s %s\n", a.name.c_str(), note != notes.end() ? note->second.state.c_str() : "");
    }
    return out;
}

std::string render_lines(const ko::NodeConfig &config)
{
    std::string out, time = now_text();
    for (const ko::ServiceDecl &s : config.services) {
        std::string p = "SERVICE." + s.name + ".";
        append(out, "%s %s status %s run %s error %s connected %s live %s\n", time.c_str(), s.name.c_str(),
               tag_text(p + "Status").c_str(), tag_text(p + "Run").c_str(), tag_text(p + "Error").c_str(),
               tag_text(p + "Connected").c_str(), tag_text(p + "Live").c_str());
    }
    return out;
}

}  // namespace konode
