// output.cpp - helpers of the ko commands.
#include "output.h"

#include "suggest.h"

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

std::string closest_tag(const std::string &name)
{
    std::vector<std::string> names;
    for (const Tag &t : tags_matching(""))
        names.push_back(t.info.name);
    return ko::did_you_mean(name, names);
}

std::string property(const std::string &name, const char *property_name)
{
    char text[1024] = {};
    return KoTagGetProperty(name.c_str(), property_name, text, sizeof text) == KO_OK ? text : "";
}

namespace {

// The length of the valid UTF-8 sequence at text[i] (2 to 4), or 0.
size_t utf8_sequence(const std::string &text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    uint32_t point = c & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k)
        point = (point << 6) | (byte(i + k) & 0x3F);
    bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

// Escapes control characters and bytes that are no valid UTF-8; escape(c)
// writes one such byte.
template <typename Escape>
std::string escaped(const std::string &text, Escape escape)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (size_t n = utf8_sequence(text, i); n != 0) {
                out.append(text, i, n);
                i += n;
                continue;
            }
        }
        if (c < 0x20 || c == 0x7F || c >= 0x80)
            out += escape(c);
        else
            out += static_cast<char>(c);
        ++i;
    }
    return out;
}

std::string hex_escape(const char *format, unsigned char c)
{
    char text[8];
    std::snprintf(text, sizeof text, format, c);
    return text;
}

}  // namespace

std::string printable(const std::string &text)
{
    return escaped(text, [](unsigned char c) -> std::string {
        switch (c) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return hex_escape("\\x%02X", c);
        }
    });
}

// A byte that is no valid UTF-8 stands for the character of that number (as Latin-1 reads it).
std::string json_string(const std::string &text)
{
    std::string quoted;
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return "\"" + escaped(quoted, [](unsigned char b) { return hex_escape("\\u%04x", b); }) + "\"";
}

std::string json_value(const Tag &tag, const std::string &text)
{
    bool numeric = tag.info.type >= KO_TYPE_U8 && tag.info.type <= KO_TYPE_F64 && text != "nan" && text != "inf" &&
                   text != "-nan" && text != "-inf";
    return numeric ? text : json_string(text);
}

JsonWriter &JsonWriter::raw(const char *key, const std::string &json)
{
    if (!first_)
        out_ += ',';
    first_ = false;
    if (key != nullptr)
        out_ += json_string(key) + ":";
    out_ += json;
    return *this;
}

JsonWriter &JsonWriter::open(const char *key, char bracket)
{
    raw(key, std::string(1, bracket));
    closers_ += bracket == '{' ? '}' : ']';
    first_ = true;
    return *this;
}

JsonWriter &JsonWriter::end()
{
    if (!closers_.empty()) {
        out_ += closers_.back();
        closers_.pop_back();
    }
    first_ = false;
    return *this;
}

JsonWriter &JsonWriter::text(const char *key, const std::string &value)
{
    return raw(key, json_string(value));
}

JsonWriter &JsonWriter::number(const char *key, const std::string &digits)
{
    return raw(key, digits.empty() || digits == "-" ? "null" : digits);
}

JsonWriter &JsonWriter::tag(const Tag &t, const std::string &type, const std::string &value)
{
    return text("name", t.info.name).text("type", type).raw("value", json_value(t, value));
}

void JsonWriter::print()
{
    while (!closers_.empty())
        end();
    std::printf("%s\n", out_.c_str());
    std::fflush(stdout);
}

}  // namespace kotool
