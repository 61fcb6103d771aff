// output.cpp - helpers of the ko commands.
#include "output.h"

#include <cstdio>
#include <fnmatch.h>

namespace kotool {

bool store_usable()
{
    std::string error = KoStoreError();
    if (error.empty())
        return true;
    std::fprintf(stderr, "ko: %s\n", error.c_str());
    return false;
}

std::vector<Tag> tags_matching(const std::string &glob)
{
    std::vector<Tag> tags;
    uint32_t count = KoTagCount();
    for (uint32_t entry = 1; entry <= count; ++entry) {
        Tag t{entry, {}};
        if (KoTagGetInfo(entry, &t.info) == KO_OK && (glob.empty() || fnmatch(glob.c_str(), t.info.name, 0) == 0))
            tags.push_back(t);
    }
    return tags;
}

bool find(const std::string &name, Tag &tag)
{
    uint32_t entry = 0;
    if (KoTagGetProperty(name.c_str(), "Entry", &entry, sizeof entry) != KO_OK)
        return false;
    tag.entry = entry;
    return KoTagGetInfo(entry, &tag.info) == KO_OK;
}

std::string property(const std::string &name, const char *property_name)
{
    char text[1024] = {};
    return KoTagGetProperty(name.c_str(), property_name, text, sizeof text) == KO_OK ? text : "";
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_value(const Tag &tag, const std::string &text)
{
    bool numeric = tag.info.type >= KO_TYPE_U8 && tag.info.type <= KO_TYPE_F64 && text != "nan" && text != "inf" &&
                   text != "-nan" && text != "-inf";
    return numeric ? text : json_string(text);
}

}  // namespace kotool
