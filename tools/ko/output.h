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
// "; did you mean NAME?" with the store's tag name closest to name, or "".
std::string closest_tag(const std::string &name);
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

// The one writer of ko's JSON output. Objects and arrays nest and commas
// come by themselves. Keys are lower case with '_' between words, and every
// command names a thing the same way: a tag is {name, type, value, ...},
// a service {name, short_name, pid, ...}, a thread {name, cycles, ...}.
class JsonWriter {
public:
    JsonWriter &object(const char *key = nullptr) { return open(key, '{'); }
    JsonWriter &array(const char *key = nullptr) { return open(key, '['); }
    JsonWriter &end();
    JsonWriter &text(const char *key, const std::string &value);
    // Digits as they are; "-" or "" (nothing known) as null.
    JsonWriter &number(const char *key, const std::string &digits);
    JsonWriter &number(const char *key, long long value) { return number(key, std::to_string(value)); }
    JsonWriter &boolean(const char *key, bool value) { return raw(key, value ? "true" : "false"); }
    // A tag's record: name, type and value.
    JsonWriter &tag(const Tag &tag, const std::string &type, const std::string &value);
    // Closes what is open and prints the document as one line.
    void print();

private:
    JsonWriter &open(const char *key, char bracket);
    JsonWriter &raw(const char *key, const std::string &json);
    std::string out_;
    std::string closers_;
    bool first_ = true;
};

}  // namespace kotool
