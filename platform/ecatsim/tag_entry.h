// tag_entry.h - a tag the master or a simulator publishes, found once by
// name and written by entry from then on.
#pragma once

#include "kohgapi.h"

#include <cstdint>
#include <string>

namespace ecatsim {

// Creates the tag when it does not exist and returns its entry (0 when the
// node's store cannot be reached: writes by entry 0 are then refused).
inline uint32_t make_tag(const std::string &name, uint32_t type, const char *description)
{
    KoTagCreateEx(name.c_str(), type, "", description);
    uint32_t entry = 0;
    KoTagGetProperty(name.c_str(), "Entry", &entry, 4);
    return entry;
}

}  // namespace ecatsim
