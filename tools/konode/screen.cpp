// screen.cpp - the status screen and its plain-line form.
#include "screen.h"

#include "node_check.h"

#include "kohgapi.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace konode {
namespace {

// A numeric tag as text, "-" when it cannot be read.
std::string number(const std::string &name)
{
    int64_t value = 0;
    return KoTagRead(name.c_str(), &value, 8) == KO_OK ? std::to_string(value) : "-";
}

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

std::string render_screen(const ko::NodeConfig &config, const std::map<std::string, ServiceNotes> &notes)
{
    std::string out;
    append(out, "node %s   %s   %s\n\n", config.name.empty() ? "(unnamed)" : config.name.c_str(), now_text().c_str(),
           node_contents(config).c_str());
    append(out, "%-17s %7s %6s %3s %5s %4s %10s %8s  %s\n", "SERVICE", "PID", "STATUS", "RUN", "ERROR", "CONN", "LIVE",
           "RESTARTS", "STATE");
    for (const ko::ServiceDecl &s : config.services) {
        std::string p = "SERVICE." + s.name + ".";
        auto note = notes.find(s.name);
        int32_t pid = service_pid(s.name);
        append(out, "%-17s %7s %6s %3s %5s %4s %10s %8s  %s\n", s.name.c_str(),
               pid != 0 ? std::to_string(pid).c_str() : "-", number(p + "Status").c_str(), number(p + "Run").c_str(),
               number(p + "Error").c_str(), number(p + "Connected").c_str(), number(p + "Live").c_str(),
               note != notes.end() ? std::to_string(note->second.restarts).c_str() : "-",
               note != notes.end() ? note->second.state.c_str() : "");
        for (const char *direction : {"In", "Out"})
            for (int n = 0; n < 32; ++n) {
                char thread[24];
                std::snprintf(thread, sizeof thread, "%sThread%02d", direction, n);
                std::string t = p + thread + "_";
                std::string count = number(t + "Cnt");
                if (count == "-")
                    continue;
                append(out, "  %-12s cycles %-10s last %s ms  min %s  max %s\n", thread, count.c_str(),
                       milliseconds(t + "Time").c_str(), milliseconds(t + "TimeMin").c_str(),
                       milliseconds(t + "TimeMax").c_str());
            }
        for (const ko::EthercatDecl &e : config.ethercat.empty() ? std::vector<ko::EthercatDecl>{{"default", ""}}
                                                                  : config.ethercat) {
            std::string m = "ECATSIM." + e.name + ".";
            char owner[64] = {};
            if (KoTagGetProperty((m + "State").c_str(), "Service", owner, sizeof owner) != KO_OK || s.name != owner)
                continue;
            std::string state = number(m + "State");
            append(out, "  EtherCAT     bus %s  state %s%s  cycles %s  lost %s\n", e.name.c_str(), state.c_str(),
                   state == "8" ? " (op)" : "", number(m + "Cycles").c_str(), number(m + "LostCycles").c_str());
        }
        if (number(p + "CAN.Status") != "-") {
            std::string channels = number("SERVICE.ECAT.CAN.SlaveCount"), flags;
            for (int n = 0; channels != "-" && n < std::stoi(channels); ++n) {
                char c[48];
                std::snprintf(c, sizeof c, "SERVICE.ECAT.CAN.%02d.", n);
                if (number(std::string(c) + "RxFrameFIFO.Overrun") == "1")
                    flags += " ch" + std::to_string(n) + "-rx";
                if (number(std::string(c) + "TxFrameFIFO.Overrun") == "1")
                    flags += " ch" + std::to_string(n) + "-tx";
            }
            append(out, "  CAN          run %s  error %s  channels %s  sent %s  received %s  overrun:%s\n",
                   number(p + "CAN.Run").c_str(), number(p + "CAN.Error").c_str(), channels.c_str(),
                   number(p + "CAN.TxCount").c_str(), number(p + "CAN.RxCount").c_str(),
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
               number(p + "Status").c_str(), number(p + "Run").c_str(), number(p + "Error").c_str(),
               number(p + "Connected").c_str(), number(p + "Live").c_str());
    }
    return out;
}

}  // namespace konode
