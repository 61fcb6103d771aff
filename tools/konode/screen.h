// screen.h - the node's status screen: per service its state, threads,
// restarts, and where they run the EtherCAT master's state and the CAN
// counters and flags; read from the tags, so it also works for a node
// konode did not start.
#pragma once

#include "node_config.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace konode {

struct ServiceNotes {
    unsigned restarts = 0;
    std::string state;  // "starting", "running", "restarting", "stopped", "given up: REASON", "ended"
    bool operator==(const ServiceNotes &) const = default;
};

// The pid of a running service's process, or 0.
int32_t service_pid(const std::string &service);
// The CPU a service's real-time threads are placed on ("-": not placed, or
// no such process).
std::string service_cpu_text(int32_t pid);

// A numeric tag as text, "-" when it cannot be read.
std::string tag_text(const std::string &name);

// The simulated EtherCAT masters a service runs ("ECATSIM.<bus>." prefixes):
// those whose State tag names it in its "Service" property.
std::vector<std::string> masters_of(const ko::NodeConfig &config, const std::string &service);

std::string render_screen(const ko::NodeConfig &config, const std::map<std::string, ServiceNotes> &notes);

// One line per service: "TIME NAME status S run R error E connected C live L".
std::string render_lines(const ko::NodeConfig &config);

}  // namespace konode
