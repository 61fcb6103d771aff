// tag_commands.cpp - ko list, get, set and watch.
#include "commands.h"
#include "output.h"
#include "tag_text.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <unistd.h>
#include <cstdio>
#include <map>
#include <thread>

namespace kotool {
namespace {

int no_match(const std::string &glob)
{
    bool pattern = glob.find_first_of("*?[") != std::string::npos;
    std::fprintf(stderr, "ko: no tag matches \"%s\"%s\n", glob.c_str(), pattern ? "" : closest_tag(glob).c_str());
    return kFailed;
}

}  // namespace

int list(const Options &options, const std::string &glob)
{
    if (!store_usable())
        return kFailed;
    struct Row {
        std::string name, type, value, description;
        Tag tag;
    };
    std::vector<Row> rows;
    size_t name_width = 4, type_width = 4, value_width = 5;
    for (const Tag &t : tags_matching(glob)) {
        uint32_t status;
        Row r{printable(t.info.name), type_to_name(t.info.type), value_text(t.entry, t.info, status),
              property(t.info.name, "Description"), t};
        name_width = std::max(name_width, r.name.size());
        type_width = std::max(type_width, r.type.size());
        value_width = std::max(value_width, r.value.size());
        rows.push_back(std::move(r));
    }
    if (!glob.empty() && rows.empty())
        return no_match(glob);
    if (options.json) {
        JsonWriter json;
        json.array();
        for (const Row &r : rows)
            json.object().tag(r.tag, r.type, r.value).text("description", r.description).end();
        json.print();
        return kDone;
    }
    if (options.terse) {
        for (const Row &r : rows)
            std::printf("%s %s %s\n", r.name.c_str(), r.type.c_str(), r.value.c_str());
        return kDone;
    }
    auto line = [&](const std::string &n, const std::string &t, const std::string &v, const std::string &d) {
        std::string text = n + std::string(name_width - n.size() + 2, ' ') + t + std::string(type_width - t.size() + 2, ' ') +
                           v;
        if (!d.empty())
            text += std::string(value_width - v.size() + 2, ' ') + d;
        std::printf("%s\n", text.c_str());
    };
    line("NAME", "TYPE", "VALUE", "DESCRIPTION");
    for (const Row &r : rows)
        line(r.name, r.type, r.value, printable(r.description));
    return kDone;
}

int get(const Options &options, const std::vector<std::string> &names)
{
    if (!store_usable())
        return kFailed;
    int result = kDone;
    JsonWriter json;
    json.array();
    for (const std::string &name : names) {
        Tag t;
        uint32_t status = KO_E_NOT_FOUND;
        std::string value;
        if (find(name, t))
            value = value_text(t.entry, t.info, status);
        if (status != KO_OK) {
            std::fprintf(stderr, "ko: %s: %s%s\n", name.c_str(), KoStatusText(status),
                         status == KO_E_NOT_FOUND ? closest_tag(name).c_str() : "");
            result = kFailed;
            continue;
        }
        if (options.json)
            json.object().tag(t, type_to_name(t.info.type), value).end();
        else
            std::printf("%s\n", value.c_str());
    }
    if (options.json)
        json.print();
    return result;
}

int set(const Options &, const std::string &type_name, const std::string &tag, const std::string &value, bool create)
{
    uint16_t wanted = 0;
    if (!type_name.empty()) {
        wanted = type_from_name(type_name);
        if (wanted == 0 || wanted == KO_TYPE_SEGMENT || wanted == KO_TYPE_FIFO) {
            std::fprintf(stderr, "ko: --type %s: expected u8 i8 byte i16 u16 u32 i32 i64 u64 f32 f64\n",
                         type_name.c_str());
            return kUsage;
        }
    }
    if (!store_usable())
        return kFailed;
    Tag t;
    bool exists = find(tag, t);
    if (exists && wanted != 0 && wanted != t.info.type) {
        std::fprintf(stderr, "ko: %s exists with type %s, not %s\n", tag.c_str(), type_to_name(t.info.type),
                     type_name.c_str());
        return kFailed;
    }
    if (!exists && !create && wanted == 0) {
        std::fprintf(stderr, "ko: no tag %s%s (--create makes a new tag)\n", printable(tag).c_str(),
                     closest_tag(tag).c_str());
        return kFailed;
    }
    if (!exists) {
        uint16_t type = wanted != 0 ? wanted : infer_type(value);
        if (type == 0) {
            bool digits = !value.empty() && value.find_first_not_of("-0123456789") == std::string::npos;
            std::fprintf(stderr,
                         digits ? "ko: %s: %s does not fit any integer type; give --type f64 to store it as a float\n"
                                : "ko: %s: \"%s\" is not a number; give --type to create the tag\n",
                         printable(tag).c_str(), printable(value).c_str());
            return kFailed;
        }
        t.info = KoTagInfo{};
        t.info.type = type;
        t.info.size = type == KO_TYPE_U8 || type == KO_TYPE_I8 || type == KO_TYPE_BYTE    ? 1
                      : type == KO_TYPE_I16 || type == KO_TYPE_U16                       ? 2
                      : type == KO_TYPE_I64 || type == KO_TYPE_U64 || type == KO_TYPE_F64 ? 8
                                                                                         : 4;
    }
    std::vector<uint8_t> bytes;
    uint32_t status = encode_text(t.info, value, bytes);
    if (status == KO_OK && !exists) {
        status = KoTagCreateEx(tag.c_str(), t.info.type, nullptr, nullptr);
        if (status == KO_OK && !find(tag, t))
            status = KO_E_NOT_FOUND;
    }
    if (status == KO_OK)
        status = write_encoded(t.entry, t.info, bytes);
    if (status == KO_E_ARGUMENT) {
        std::fprintf(stderr, "ko: %s: \"%s\" is not a number (type %s); the value is unchanged\n",
                     printable(tag).c_str(), printable(value).c_str(), type_to_name(t.info.type));
        return kFailed;
    }
    if (status == KO_E_RANGE) {
        std::fprintf(stderr, "ko: %s: \"%s\" does not fit type %s; the value is unchanged\n", printable(tag).c_str(),
                     printable(value).c_str(), type_to_name(t.info.type));
        return kFailed;
    }
    if (status != KO_OK) {
        std::fprintf(stderr, "ko: %s: %s\n", tag.c_str(), KoStatusText(status));
        return kFailed;
    }
    return kDone;
}

namespace {

std::string clock_with_ms()
{
    auto now = std::chrono::system_clock::now();
    time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return std::string(text) + "." + std::to_string(1000 + ms).substr(1);
}

}  // namespace

// On a terminal the table is redrawn in place, changed values highlighted;
// otherwise each round is a time line and the values, "*" marking a change.
int watch(const Options &options, const std::vector<std::string> &globs, unsigned interval_ms, unsigned rounds)
{
    if (!store_usable())
        return kFailed;
    for (const std::string &glob : globs)
        if (tags_matching(glob).empty())
            return no_match(glob);
    bool screen = !options.json && !options.terse && isatty(STDOUT_FILENO);
    std::map<uint32_t, std::string> last;
    for (unsigned round = 0; rounds == 0 || round < rounds; ++round) {
        if (round > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        std::map<uint32_t, Tag> tags;  // entry order, each tag once
        for (const std::string &glob : globs)
            for (const Tag &t : tags_matching(glob))
                tags.emplace(t.entry, t);
        size_t width = 0;
        for (const auto &[entry, t] : tags)
            width = std::max(width, printable(t.info.name).size());
        std::string text;
        JsonWriter json;
        json.object().text("time", clock_with_ms()).array("tags");
        for (const auto &[entry, t] : tags) {
            uint32_t status;
            std::string value = value_text(entry, t.info, status);
            auto previous = last.find(entry);
            bool changed = round > 0 && (previous == last.end() || previous->second != value);
            last[entry] = value;
            std::string name = printable(t.info.name);
            if (options.json)
                json.object().tag(t, type_to_name(t.info.type), value).boolean("changed", changed).end();
            else if (options.terse)
                text += (changed ? "* " : "  ") + name + " " + value + "\n";
            else
                text += std::string(changed ? (screen ? "  " : "* ") : "  ") + name +
                        std::string(width - name.size() + 2, ' ') + (changed && screen ? "\033[1;7m" : "") + value +
                        (changed && screen ? "\033[0m" : "") + "\n";
        }
        if (options.json)
            json.print();
        else if (screen)
            std::printf("\033[H\033[Jko watch  every %u ms  %s  (Ctrl-C ends)\n\n%s", interval_ms,
                        clock_with_ms().c_str(), text.c_str());
        else if (options.terse)
            std::printf("%s", text.c_str());
        else
            std::printf("-- %s\n%s", clock_with_ms().c_str(), text.c_str());
        std::fflush(stdout);
    }
    return kDone;
}

}  // namespace kotool
