// can_commands.cpp - ko can dump, send and status: CAN frames of the node's
// gateway channels through canport.rsl, in the text of the can-utils, the
// channel standing for the interface ("ch1"):
//   123#DEADBEEF    standard identifier (3 hex digits), data in hex
//   12345678#R      extended identifier (8 hex digits), remote frame
// dump prints what candump prints: by default its display
// ("  ch1  123   [4]  DE AD BE EF"), with -L its log format
// ("(1765286216.123456) ch1 123#DEADBEEF", which log2asc, log2long and
// python-can read), with -l FILE that format into a file. It sleeps until a
// frame arrives, and waits for the channels when the driver has not
// published them yet.
#include "canport.h"
#include "commands.h"
#include "output.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace kotool {
namespace {

bool bind(CanPortApi &api)
{
    if (CanPortBind(&api) == 0)
        return true;
    std::fprintf(stderr, "ko: canport.rsl cannot be loaded (looked for in %s; RT_LIBRARY_PATH names more folders)\n",
                 RtLibrarySearchPath());
    return false;
}

const char *channel_problem(int32_t result)
{
    switch (result) {
    case -1:
        return "the CAN channels are not published yet (is the ECAT service on canbridge running?)";
    case -2:
        return "no such channel (ko can status lists them)";
    case -3:
        return "the tag library call failed";
    case -4:
        return "the length must be 0 to 8";
    case -5:
        return "a remote frame carries no data";
    case -7:
        return "the send queue is full: the frame was not sent";
    case -8:
        return "the channel's gateway carries standard frames only (3-digit identifiers up to 7FF); "
               "an extended identifier would be cut to 11 bits, so the frame was not sent";
    default:
        return "failed";
    }
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Frame {
    uint32_t id = 0;
    uint8_t extended = 0, rtr = 0;
    uint32_t length = 0;
    uint8_t data[8] = {};
};

// cansend's text: 3 or 8 hex digits, '#', then up to 8 hex bytes, each
// optionally after one '.', or R for a remote frame. The gateways carry no
// length in a remote frame, so R with a length is refused rather than sent
// as another frame. Empty on success, else why.
std::string parse_frame(const std::string &text, Frame &f)
{
    size_t hash = text.find('#');
    if (hash == std::string::npos)
        return "expected ID#DATA, for example 123#DEADBEEF or 12345678#R";
    if (hash != 3 && hash != 8)
        return "the identifier has 3 hex digits (standard) or 8 (extended), not " + std::to_string(hash);
    for (size_t i = 0; i < hash; ++i) {
        int d = hex_digit(text[i]);
        if (d < 0)
            return "\"" + text.substr(0, hash) + "\" is not a hex identifier";
        f.id = f.id * 16 + static_cast<uint32_t>(d);
    }
    f.extended = hash == 8;
    if (f.extended ? f.id > 0x1FFFFFFF : f.id > 0x7FF)
        return f.extended ? "an extended identifier is at most 1FFFFFFF" : "a standard identifier is at most 7FF";
    std::string rest = text.substr(hash + 1);
    if (!rest.empty() && rest[0] == '#')
        return "CAN FD frames (##) are not carried by the gateways";
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        f.rtr = 1;
        if (rest.size() > 1)
            return "a remote frame is just R here: the gateways carry no length in a remote frame";
        return {};
    }
    for (size_t i = 0; i < rest.size();) {
        if (rest[i] == '.')
            ++i;  // one separator before a byte
        if (i >= rest.size())
            break;
        if (f.length == 8)
            return "at most 8 data bytes";
        int high = hex_digit(rest[i]), low = i + 1 < rest.size() ? hex_digit(rest[i + 1]) : -1;
        if (high < 0 || low < 0)
            return "the data are hex bytes, two digits each, with at most one '.' between them: \"" + rest + "\"";
        f.data[f.length++] = static_cast<uint8_t>(high * 16 + low);
        i += 2;
    }
    return {};
}

// candump -L and cansend: ID#DATA or ID#R.
std::string frame_text(const Frame &f)
{
    char text[40];
    int n = std::snprintf(text, sizeof text, f.extended ? "%08X#" : "%03X#", f.id);
    if (f.rtr)
        std::snprintf(text + n, sizeof text - n, "R");
    for (uint32_t i = 0; !f.rtr && i < f.length && i < 8; ++i)
        n += std::snprintf(text + n, sizeof text - n, "%02X", f.data[i]);
    return text;
}

// candump's display: identifier, [length], the bytes or "remote request";
// once an extended frame was seen, standard identifiers are indented to line up.
std::string frame_display(const Frame &f, bool indent)
{
    char text[64];
    uint32_t length = f.length > 8 ? 8 : f.length;
    int n = std::snprintf(text, sizeof text, f.extended ? "%08X   [%u] " : indent ? "     %03X   [%u] " : "%03X   [%u] ",
                          f.id, length);
    if (f.rtr)
        std::snprintf(text + n, sizeof text - n, " remote request");
    for (uint32_t i = 0; !f.rtr && i < length; ++i)
        n += std::snprintf(text + n, sizeof text - n, " %02X", f.data[i]);
    return text;
}

// candump's -t: a absolute, A absolute with date, d delta, z from the first frame.
std::string stamp(char mode, std::chrono::system_clock::time_point now, std::chrono::system_clock::time_point &last,
                  std::chrono::system_clock::time_point first)
{
    using namespace std::chrono;
    char text[64];
    if (mode == 'a' || mode == 'A') {
        auto us = duration_cast<microseconds>(now.time_since_epoch()).count();
        time_t seconds = static_cast<time_t>(us / 1000000);
        if (mode == 'a') {
            std::snprintf(text, sizeof text, "(%010lld.%06lld) ", static_cast<long long>(seconds),
                          static_cast<long long>(us % 1000000));
        } else {
            tm local{};
            localtime_r(&seconds, &local);
            char date[32];
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
            std::snprintf(text, sizeof text, "(%s.%06lld) ", date, static_cast<long long>(us % 1000000));
        }
        return text;
    }
    if (mode == 'd' || mode == 'z') {
        auto us = duration_cast<microseconds>(now - (mode == 'd' ? last : first)).count();
        last = now;
        std::snprintf(text, sizeof text, "(%03lld.%06lld) ", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
        return text;
    }
    return {};
}

}  // namespace

int can_send(int channel, const std::string &text)
{
    Frame f;
    if (std::string why = parse_frame(text, f); !why.empty()) {
        std::fprintf(stderr, "ko: %s: %s\n", text.c_str(), why.c_str());
        return kUsage;
    }
    CanPortApi api;
    if (!store_usable() || !bind(api))
        return kFailed;
    int32_t result = api.write(channel, f.id, f.extended, f.rtr, static_cast<int32_t>(f.length), f.data);
    if (result < 0) {
        std::fprintf(stderr, "ko: can send %d %s: %s\n", channel, text.c_str(), channel_problem(result));
        return kFailed;
    }
    return kDone;
}

namespace {

// Where dump's frames go, in which form.
struct DumpSink {
    int channel;
    const DumpOptions &options;
    FILE *log_file = nullptr;
    std::chrono::system_clock::time_point first{}, last{};
    bool first_frame = true, indent = false;

    void put(const Frame &f)
    {
        auto now = std::chrono::system_clock::now();
        if (first_frame)
            first = last = now;
        first_frame = false;
        char device[16];
        std::snprintf(device, sizeof device, "ch%d", channel);
        if (log_file != nullptr || options.log_format) {
            std::string line = stamp('a', now, last, first) + device + " " + frame_text(f) + "\n";
            std::fputs(line.c_str(), log_file != nullptr ? log_file : stdout);
            std::fflush(log_file != nullptr ? log_file : stdout);
            return;
        }
        if (options.json) {
            std::string bytes;
            for (uint32_t i = 0; !f.rtr && i < f.length && i < 8; ++i) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", f.data[i]);
                bytes += hex;
            }
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
            char time[32];
            std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(us / 1000000),
                          static_cast<long long>(us % 1000000));
            JsonWriter json;
            json.object()
                .number("time", time)
                .number("channel", channel)
                .number("id", f.id)
                .boolean("extended", f.extended != 0)
                .boolean("rtr", f.rtr != 0)
                .number("length", f.length)
                .text("data", bytes)
                .print();
            std::fflush(stdout);
            return;
        }
        indent = indent || f.extended != 0;
        std::printf(" %s %s  %s\n", stamp(options.time_mode, now, last, first).c_str(), device,
                    frame_display(f, indent).c_str());
        std::fflush(stdout);
    }
};

}  // namespace

int can_dump(int channel, const DumpOptions &options)
{
    CanPortApi api;
    if (!store_usable() || !bind(api))
        return kFailed;
    std::unique_ptr<FILE, int (*)(FILE *)> log_file(nullptr, std::fclose);
    if (!options.log_file.empty()) {
        log_file.reset(std::fopen(options.log_file.c_str(), "a"));
        if (!log_file) {
            std::fprintf(stderr, "ko: can dump: cannot write %s: %s\n", options.log_file.c_str(), std::strerror(errno));
            return kFailed;
        }
    }
    DumpSink sink{channel, options, log_file.get()};
    uint8_t overrun_reported = 0;
    bool waiting_reported = false;
    for (unsigned seen = 0; options.count == 0 || seen < options.count;) {
        Frame f;
        int32_t result = api.read_wait(channel, &f.id, &f.extended, &f.rtr, &f.length, f.data, 500);
        if (result == -1) {  // the driver has not published its channels yet: wait for them
            if (!waiting_reported)
                std::fprintf(stderr, "ko: can dump %d: waiting for the CAN channels\n", channel);
            waiting_reported = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (result < 0) {
            std::fprintf(stderr, "ko: can dump %d: %s\n", channel, channel_problem(result));
            return kFailed;
        }
        uint8_t tx = 0, rx = 0;
        if (api.get_overrun_state(channel, &tx, &rx) == 0 && rx != 0 && overrun_reported == 0)
            std::fprintf(stderr, "ko: ch%d: the receive FIFO ran full: frames were lost\n", channel);
        overrun_reported = rx;
        if (result == 0)
            continue;
        sink.put(f);
        ++seen;
    }
    return kDone;
}

int can_status(const Options &options)
{
    CanPortApi api;
    if (!store_usable() || !bind(api))
        return kFailed;
    uint8_t run = 0, error = 0;
    int32_t channels = 0;
    if (api.get_driver_state(&run, &error, &channels) < 0) {
        std::fprintf(stderr, "ko: can status: %s\n", channel_problem(-1));
        return kFailed;
    }
    auto value = [](const std::string &name) {
        Tag t;
        uint32_t v = 0;
        return find(name, t) && KoTagReadByEntry(t.entry, &v, 4) == KO_OK ? std::to_string(v) : std::string("-");
    };
    auto number = [](const std::string &text) { return text == "-" ? 0ull : std::stoull(text); };
    const char *formats[] = {"other", "standard", "extended"};
    JsonWriter json;
    json.object().number("run", run).number("error", error).array("channels");
    if (!options.json && !options.terse)
        std::printf("CAN service: run %u  error %u  channels %d  disconnects %s\n"
                    "%-4s %-9s %5s %9s %9s %9s %9s %11s %11s  %s\n",
                    run, error, channels, value("SERVICE.ECAT.CAN.Disconnects").c_str(), "CH", "FORMAT", "SLAVE",
                    "RX WAIT", "TX WAIT", "RX LOST", "TX LOST", "RX OVERRUN", "TX OVERRUN", "DEVICE STATE");
    unsigned long long rx_lost_total = 0, tx_lost_total = 0;
    for (int32_t n = 0; n < channels; ++n) {
        char prefix[40];
        std::snprintf(prefix, sizeof prefix, "SERVICE.ECAT.CAN.%02d.", n);
        std::string p = prefix;
        std::string type = value(p + "SlaveType");
        int format = type == "-" ? -1 : std::stoi(type);
        const char *format_name = format >= 0 && format <= 2 ? formats[format] : "?";
        std::string rx_wait = "-", tx_wait = "-";
        for (auto [suffix, out] : {std::pair{"RxFrameFIFO", &rx_wait}, std::pair{"TxFrameFIFO", &tx_wait}}) {
            Tag t;
            uint32_t held = 0;
            if (find(p + suffix, t) && KoTagGetFIFOCount(t.entry, &held) == KO_OK)
                *out = std::to_string(held);
        }
        std::string rx_lost = value(p + "RxLost"), tx_lost = value(p + "TxLost");
        rx_lost_total += number(rx_lost);
        tx_lost_total += number(tx_lost);
        uint8_t tx = 0, rx = 0, state[7] = {};
        api.get_overrun_state(n, &tx, &rx);
        api.get_device_state(n, state);
        char state_text[32];
        std::snprintf(state_text, sizeof state_text, "%02x %02x %02x %02x %02x %02x %02x", state[0], state[1], state[2],
                      state[3], state[4], state[5], state[6]);
        if (options.json)
            json.object()
                .number("channel", n)
                .text("format", format_name)
                .number("slave_index", value(p + "SlaveIndex"))
                .number("rx_waiting", rx_wait)
                .number("tx_waiting", tx_wait)
                .number("rx_lost", rx_lost)
                .number("tx_lost", tx_lost)
                .number("rx_overrun", rx)
                .number("tx_overrun", tx)
                .text("device_state", state_text)
                .end();
        else
            std::printf(options.terse ? "%d %s %s %s %s %s %s %u %u %s\n"
                                      : "%-4d %-9s %5s %9s %9s %9s %9s %11u %11u  %s\n",
                        n, format_name, value(p + "SlaveIndex").c_str(), rx_wait.c_str(), tx_wait.c_str(),
                        rx_lost.c_str(), tx_lost.c_str(), rx, tx, state_text);
    }
    // Received counts the records taken from the gateways; delivered those
    // that reached a receive FIFO.
    std::string sent = value("SERVICE.ECAT.CAN.TxCount"), received = value("SERVICE.ECAT.CAN.RxCount");
    std::string delivered = received == "-" ? "-" : std::to_string(number(received) - rx_lost_total);
    if (options.json)
        json.end()
            .number("disconnects", value("SERVICE.ECAT.CAN.Disconnects"))
            .number("tx_count", sent)
            .number("rx_count", received)
            .number("rx_delivered", delivered)
            .number("rx_lost", static_cast<long long>(rx_lost_total))
            .number("tx_lost", static_cast<long long>(tx_lost_total))
            .print();
    else if (!options.terse)
        std::printf("frames sent %s  received %s  delivered %s  lost: rx %llu, tx %llu\n", sent.c_str(),
                    received.c_str(), delivered.c_str(), rx_lost_total, tx_lost_total);
    return kDone;
}

}  // namespace kotool
