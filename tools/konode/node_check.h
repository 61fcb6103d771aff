// node_check.h - what konode checks before it starts anything: the node
// config itself (syntax, keys, names, duplicates: the tag library's reader)
// and that every service's driver and every app's program can be found.
#pragma once

#include "node_config.h"

#include <string>
#include <vector>

namespace konode {

struct CheckedNode {
    ko::NodeConfig config;
    std::string config_path;                // absolute
    std::vector<std::string> drivers;       // per service: the driver file found
    std::vector<std::string> app_programs;  // per app: the program found
};

// Every error is one line "FILE:LINE:COLUMN: KEY: what"; false when any.
bool check_node(const std::string &path, CheckedNode &node, std::vector<std::string> &errors);

// The folder of the running konode (iohost, ko and the examples lie beside it).
std::string program_dir();

// "1 service", "2 services": how many of a thing a node has.
inline std::string counted(size_t n, const char *noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// "2 services, 4 apps": what the node runs.
inline std::string node_contents(const ko::NodeConfig &config)
{
    return counted(config.services.size(), "service") + ", " + counted(config.apps.size(), "app");
}

}  // namespace konode
