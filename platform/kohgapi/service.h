// service.h - binding the hosted service's names and I/O point tables, and
// writing config values into tags. Exported for the launcher, the tools and
// the tests.
#pragma once

#include "node_config.h"

#include <cstdint>
#include <string>

namespace ko {

// Fills KoServiceName, KoServiceShortName and the status tag names for the
// named service, from the node config; touches no store.
void bind_service_names(const std::string &name);
// Builds the point tables of the bound service, creating the points' tags.
void build_service_points();
// Both, as a hosted service gets them by KO_SERVICE and its registration.
void bind_service(const std::string &name);

// Why a KO_SERVICE value cannot name a service; empty when it can.
std::string service_name_problem(const char *name);

// Writes a config value into an existing tag, converting it to the tag's type.
uint32_t write_config_value(const std::string &tag, const ConfigValue &value);

}  // namespace ko
