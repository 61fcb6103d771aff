// service.h - binding the hosted service's names and I/O point tables, and
// writing config values into tags. Exported for the launcher, the tools and
// the tests.
#pragma once

#include "node_config.h"

#include <cstdint>
#include <string>

namespace ko {

// Fills KoServiceName, KoServiceShortName, the status tag names and the
// point tables for the named service, creating the points' tags.
void bind_service(const std::string &name);

// Writes a config value into an existing tag, converting it to the tag's type.
uint32_t write_config_value(const std::string &tag, const ConfigValue &value);

}  // namespace ko
