// service_tags.cpp - the service's tag names, its settings read from their
// tags (an unreadable or out-of-range value is replaced by its default,
// written back), and the statistics tags of its threads.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"
#include "rt.h"

#include <cstdio>
#include <cstring>

TagNames g_names;

void PrintWarning(int line, uint32_t reason)
{
    std::printf("%s service warning at line(%d) ,reason 0x%08x\n", KoServiceName, line, reason);
    std::fflush(stdout);  // a console behind a pipe sees it now, not at the end
}

// Formats into a name buffer. A name that does not fit is reported (once)
// rather than silently cut: no tag can exist under the cut name.
template <size_t N, typename... Args>
void format_name(char (&buffer)[N], const char *format, Args... args)
{
    int n = std::snprintf(buffer, N, format, args...);
    static bool reported = false;
    if ((n < 0 || static_cast<size_t>(n) >= N) && !reported) {
        reported = true;
        PrintWarning(58, KO_E_NAME);
        LogPrint(KoServiceName, "ERR", "Tag name longer than %zu characters: %s...,%s,%05d", N - 1, buffer, kKorecode,
                 korecode_line::kTagNameTooLong);
    }
}

void BuildTagNames()
{
    const char *s = KoServiceName;
    format_name(g_names.status, "SERVICE.%s.Status", s);
    format_name(g_names.error, "SERVICE.%s.Error", s);
    format_name(g_names.run, "SERVICE.%s.Run", s);
    format_name(g_names.live, "SERVICE.%s.Live", s);
    format_name(g_names.mode, "SERVICE.%s.Mode", s);
    format_name(g_names.cycle, "SERVICE.%s.Cycle", s);
    format_name(g_names.in_priority, "SERVICE.%s.InPriority", s);
    format_name(g_names.out_priority, "SERVICE.%s.OutPriority", s);
    format_name(g_names.in_thread_num, "SERVICE.%s.InThreadNum", s);
    format_name(g_names.out_thread_num, "SERVICE.%s.OutThreadNum", s);
    format_name(g_names.execute_reconnect, "SERVICE.%s.ExecuteReConnect", s);
    format_name(g_names.connect_chk_cycle, "SERVICE.%s.ConnectChkCycle", s);
    format_name(g_names.measure, "SERVICE.%s.Measure", s);
    format_name(g_names.reconnect_count, "SERVICE.%s.ReConnectCount", s);
    format_name(g_names.output_different, "SERVICE.%s.OutputDifferent", s);
    format_name(g_names.timeout, "SERVICE.%s.Timeout", s);
    format_name(g_names.wait_timeout, "SERVICE.%s.WaitTimeout", s);
    format_name(g_names.use_wait, "SERVICE.%s.UseWait", s);
    format_name(g_names.use_kernel_tick, "SERVICE.%s.UseKernelTick", s);
    format_name(g_names.connected, "SERVICE.%s.Connected", s);
    format_name(g_names.connect_last_error, "SERVICE.%s.ConnectLastError", s);
    format_name(g_names.catalog, "KOSC%s", KoServiceShortName);
}

namespace {

struct ConfigKey {
    const char *name;
    void *field;
    uint8_t width;  // 1 or 4
    bool ranged;
    uint32_t low, high, fallback;
    int line;
};

struct StatisticTag {
    const char *suffix;
    uint32_t type;
    uint32_t ThreadRecord::*entry;
};
constexpr StatisticTag kStatistics[] = {
    {"Cnt", KO_TYPE_I32, &ThreadRecord::cnt_entry},
    {"Time", KO_TYPE_F32, &ThreadRecord::time_entry},
    {"TimeMin", KO_TYPE_F32, &ThreadRecord::time_min_entry},
    {"TimeMax", KO_TYPE_F32, &ThreadRecord::time_max_entry},
    {"LastError", KO_TYPE_I32, &ThreadRecord::last_error_entry},
    {"KoreLastError", KO_TYPE_I32, &ThreadRecord::kore_last_error_entry},
};

void statistic_name(char (&name)[kNameSize], const char *direction, int n, const char *suffix)
{
    format_name(name, "SERVICE.%s.%sThread%02d_%s", KoServiceName, direction, n, suffix);
}

}  // namespace

uint32_t ReadServiceConfig(ServiceConfig *config)
{
    ServiceConfig &c = *config;
    const ConfigKey keys[] = {
        {g_names.mode, &c.mode, 1, true, 1, 3, 2, 983},
        {g_names.cycle, &c.cycle, 4, true, 1, 0xFFFFFFFFu, 1, 993},
        {g_names.in_priority, &c.in_priority, 1, true, 1, 254, 148, 1003},
        {g_names.out_priority, &c.out_priority, 1, true, 1, 254, 149, 1013},
        {g_names.in_thread_num, &c.in_thread_num, 1, true, 0, SERVICE_MAX_THREADS, 1, 1023},
        {g_names.out_thread_num, &c.out_thread_num, 1, true, 0, SERVICE_MAX_THREADS, 1, 1033},
        {g_names.execute_reconnect, &c.execute_reconnect, 1, false, 0, 0, 0, 1044},
        {g_names.connect_chk_cycle, &c.connect_chk_cycle, 4, true, 1, 0xFFFFFFFFu, 1000, 1054},
        {g_names.measure, &c.measure, 1, false, 0, 0, 0, 1064},
        {g_names.reconnect_count, &c.reconnect_count, 4, false, 0, 0, 10000, 1074},
        {g_names.output_different, &c.output_different, 1, false, 0, 0, 0, 1084},
        {g_names.timeout, &c.timeout, 4, false, 0, 0, 600000, 1094},
        {g_names.wait_timeout, &c.wait_timeout, 4, false, 0, 0, 0xFFFFFFFFu, 1104},
        {g_names.use_wait, &c.use_wait, 1, false, 0, 0, 0, 1114},
        {g_names.use_kernel_tick, &c.use_kernel_tick, 1, false, 0, 0, 0, 1125},
    };
    for (const ConfigKey &key : keys) {
        uint32_t value = 0;
        bool read = KoTagRead(key.name, &value, key.width) == 0;
        if (!read || (key.ranged && (value < key.low || value > key.high))) {
            value = key.fallback;
            KoTagWrite(key.name, &value, key.width);
        }
        std::memcpy(key.field, &value, key.width);
        int shown = key.width == 1 ? static_cast<int>(value & 0xFF) : static_cast<int32_t>(value);
        LogPrint(KoServiceName, "DBG", "%s [%d],%s,%05d", key.name, shown, kKorecode, key.line);
    }
    return 0;
}

uint32_t CreateServiceTags(ServiceConfig *config)
{
    struct Direction {
        const char *name;
        uint8_t count;
    } directions[] = {{"In", config->in_thread_num}, {"Out", config->out_thread_num}};
    for (const Direction &d : directions) {
        for (int n = 0; n < d.count && n < SERVICE_MAX_THREADS; ++n) {
            for (const StatisticTag &tag : kStatistics) {
                char name[kNameSize];
                statistic_name(name, d.name, n, tag.suffix);
                KoTagCreateEx(name, tag.type, "", "");
            }
        }
    }
    KoTagCreateEx(g_names.connected, KO_TYPE_U8, "", "");
    KoTagCreateEx(g_names.connect_last_error, KO_TYPE_I32, "", "");
    KoTagGetProperty(g_names.connect_last_error, "Entry", &g_record.connect_last_error_entry, 4);
    return 0;
}

void BindThreadStatistics(ThreadRecord &record, const char *direction, int n)
{
    for (const StatisticTag &tag : kStatistics) {
        char name[kNameSize];
        statistic_name(name, direction, n, tag.suffix);
        KoTagGetProperty(name, "Entry", &(record.*tag.entry), 4);
    }
}
