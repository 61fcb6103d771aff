// output.h - what the ko commands share: the store check, tag look-up by
// name and glob, and JSON text.
#pragma once

#include "kohgapi.h"

#include <string>
#include <vector>

namespace kotool {

// False, with the reason on standard error, when the node's store is unusable.
bool store_usable();

struct Tag {
    uint32_t entry;
    KoTagInfo info;
};

// Tags whose names match a glob, in entry order (creation order).
std::vector<Tag> tags_matching(const std::string &glob);
// A tag by exact name; false when missing.
bool find(const std::string &name, Tag &tag);
// A text property or "".
std::string property(const std::string &name, const char *property);

// A name or text for a terminal: control characters as \n, \t, \xNN, and
// bytes that are no valid UTF-8 as \xNN.
std::string printable(const std::string &text);
// A JSON string, always valid UTF-8: control characters and bytes that are
// no valid UTF-8 as \u00NN.
std::string json_string(const std::string &text);
// A value as JSON: numbers as they are, other texts quoted.
std::string json_value(const Tag &tag, const std::string &text);

}  // namespace kotool
