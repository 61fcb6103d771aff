// korecode.cpp - iohost: start-up and driver binding, the service records,
// configuration tags, set-up and shutdown, the control handler, the open
// step and the reporting operations. The main thread runs start-up and
// set-up, then only waits for the end notification.
#include "iohost.h"
#include "log_options.h"
#include "rt.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>

ServiceConfig g_config;
ServiceRecord g_record;

namespace {

constexpr size_t kNameSize = 52;
constexpr size_t kCatalogNameSize = 12;
constexpr size_t kThreadNameSize = 16;
constexpr DWORD kAllNotifications = 15;
// The service is served already, has no valid name, or has no usable node.
constexpr int kExitNotStarted = -7;
constexpr DWORD kEndNotifications[] = {230, 255};

// ---- tag names ----------------------------------------------------------------------
struct TagNames {
    char status[kNameSize], error[kNameSize], run[kNameSize], live[kNameSize];
    char mode[kNameSize], cycle[kNameSize], in_priority[kNameSize], out_priority[kNameSize];
    char in_thread_num[kNameSize], out_thread_num[kNameSize], execute_reconnect[kNameSize];
    char connect_chk_cycle[kNameSize], measure[kNameSize], reconnect_count[kNameSize];
    char output_different[kNameSize], timeout[kNameSize], wait_timeout[kNameSize], use_wait[kNameSize];
    char use_kernel_tick[kNameSize], connected[kNameSize], connect_last_error[kNameSize];
    char catalog[kCatalogNameSize];
};
TagNames names;

// Set-up has finished and a stop that came during it is pending.
std::atomic<bool> stop_requested{false};

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
        PrintWarning(__LINE__, KO_E_NAME);
        LogPrint(KoServiceName, "ERR", "Tag name longer than %zu characters: %s...,%s,%05d", N - 1, buffer, kKorecode,
                 __LINE__);
    }
}

void BuildTagNames()
{
    const char *s = KoServiceName;
    format_name(names.status, "SERVICE.%s.Status", s);
    format_name(names.error, "SERVICE.%s.Error", s);
    format_name(names.run, "SERVICE.%s.Run", s);
    format_name(names.live, "SERVICE.%s.Live", s);
    format_name(names.mode, "SERVICE.%s.Mode", s);
    format_name(names.cycle, "SERVICE.%s.Cycle", s);
    format_name(names.in_priority, "SERVICE.%s.InPriority", s);
    format_name(names.out_priority, "SERVICE.%s.OutPriority", s);
    format_name(names.in_thread_num, "SERVICE.%s.InThreadNum", s);
    format_name(names.out_thread_num, "SERVICE.%s.OutThreadNum", s);
    format_name(names.execute_reconnect, "SERVICE.%s.ExecuteReConnect", s);
    format_name(names.connect_chk_cycle, "SERVICE.%s.ConnectChkCycle", s);
    format_name(names.measure, "SERVICE.%s.Measure", s);
    format_name(names.reconnect_count, "SERVICE.%s.ReConnectCount", s);
    format_name(names.output_different, "SERVICE.%s.OutputDifferent", s);
    format_name(names.timeout, "SERVICE.%s.Timeout", s);
    format_name(names.wait_timeout, "SERVICE.%s.WaitTimeout", s);
    format_name(names.use_wait, "SERVICE.%s.UseWait", s);
    format_name(names.use_kernel_tick, "SERVICE.%s.UseKernelTick", s);
    format_name(names.connected, "SERVICE.%s.Connected", s);
    format_name(names.connect_last_error, "SERVICE.%s.ConnectLastError", s);
    format_name(names.catalog, "KOSC%s", KoServiceShortName);
}

// ---- configuration --------------------------------------------------------------------
struct ConfigKey {
    const char *name;
    void *field;
    uint8_t width;  // 1 or 4
    bool ranged;
    uint32_t low, high, fallback;
    int line;
};

uint32_t ReadServiceConfig(ServiceConfig *config)
{
    ServiceConfig &c = *config;
    const ConfigKey keys[] = {
        {names.mode, &c.mode, 1, true, 1, 3, 2, 983},
        {names.cycle, &c.cycle, 4, true, 1, 0xFFFFFFFFu, 1, 993},
        {names.in_priority, &c.in_priority, 1, true, 1, 254, 148, 1003},
        {names.out_priority, &c.out_priority, 1, true, 1, 254, 149, 1013},
        {names.in_thread_num, &c.in_thread_num, 1, true, 0, SERVICE_MAX_THREADS, 1, 1023},
        {names.out_thread_num, &c.out_thread_num, 1, true, 0, SERVICE_MAX_THREADS, 1, 1033},
        {names.execute_reconnect, &c.execute_reconnect, 1, false, 0, 0, 0, 1044},
        {names.connect_chk_cycle, &c.connect_chk_cycle, 4, true, 1, 0xFFFFFFFFu, 1000, 1054},
        {names.measure, &c.measure, 1, false, 0, 0, 0, 1064},
        {names.reconnect_count, &c.reconnect_count, 4, false, 0, 0, 10000, 1074},
        {names.output_different, &c.output_different, 1, false, 0, 0, 0, 1084},
        {names.timeout, &c.timeout, 4, false, 0, 0, 600000, 1094},
        {names.wait_timeout, &c.wait_timeout, 4, false, 0, 0, 0xFFFFFFFFu, 1104},
        {names.use_wait, &c.use_wait, 1, false, 0, 0, 0, 1114},
        {names.use_kernel_tick, &c.use_kernel_tick, 1, false, 0, 0, 0, 1125},
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

// ---- statistics tags ------------------------------------------------------------------
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
    KoTagCreateEx(names.connected, KO_TYPE_U8, "", "");
    KoTagCreateEx(names.connect_last_error, KO_TYPE_I32, "", "");
    KoTagGetProperty(names.connect_last_error, "Entry", &g_record.connect_last_error_entry, 4);
    return 0;
}

// ---- threads --------------------------------------------------------------------------
void StartServiceThreads(ThreadRecord *records, uint8_t count, uint8_t priority, RT_THREAD_ENTRY routine,
                         const char *direction, const char *catalog_prefix)
{
    for (int n = 0; n < count && n < SERVICE_MAX_THREADS; ++n) {
        ThreadRecord &r = records[n];
        r.index = static_cast<uint16_t>(n);
        r.priority = priority;
        r.stack_size = SERVICE_THREAD_STACK;
        r.wake_semaphore = CreateRtSemaphore(0, 10, 0);
        for (const StatisticTag &tag : kStatistics) {
            char name[kNameSize];
            statistic_name(name, direction, n, tag.suffix);
            KoTagGetProperty(name, "Entry", &(r.*tag.entry), 4);
        }
        r.thread = CreateRtThread(r.priority, routine, r.stack_size, &r);
        char thread_name[kThreadNameSize] = {};
        std::snprintf(thread_name, sizeof thread_name, "%s%02x", catalog_prefix, n);
        CatalogRtHandle(NULL_RTHANDLE, r.thread, thread_name);
    }
}

// The stop steps shared by the end notification and EM_SERVICE_STOP.
void StopService()
{
    SetRun(0);
    uint32_t api_status = 0;
    if (DriverCalls.close != nullptr)
        DriverCalls.close(&g_record, &api_status);
    SetConnected(shared_get(g_config.connected), api_status);
    SetError(shared_get(g_config.error));
    SetStatus(0);
    TerminateRtProcess(NULL_RTHANDLE, TRUE, 1000);
    std::printf("[LOG] : End %s Service\n", KoServiceName);
    std::fflush(stdout);
}

bool setup_complete()
{
    return shared_get(g_config.state) == SETUP_COMPLETE;
}

uint32_t ControlHandler(uint32_t first, uint32_t code, uint32_t third)
{
    EventStep event = shared_get(DriverCalls.event);  // set-up may be filling the table now
    uint32_t result = event != nullptr ? event(first, code, third) : 0;
    switch (code) {
    case EM_SERVICE_RUN: {
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_RUN recieved.,%s,%05d", kKorecode, 337);
        std::atomic_ref<uint8_t> state(g_config.state);
        uint8_t seen = state.load();
        while (seen != SETUP_COMPLETE) {
            if (state.compare_exchange_weak(seen, SETUP_RUN_REQUESTED))
                return result;  // set-up opens at its end
        }
        return ServiceOpen(&g_config);
    }
    case EM_SERVICE_STOP:
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_STOP recieved.,%s,%05d", kKorecode, 345);
        if (!setup_complete()) {
            // Carried out at the end of set-up; whoever takes the request runs it once.
            stop_requested.store(true);
            if (!setup_complete() || !stop_requested.exchange(false))
                return result;
        }
        StopService();
        return 0;
    case EM_SERVICE_PAUSE:
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_PAUSE recieved.,%s,%05d", kKorecode, 349);
        if (!setup_complete())
            return result;  // nothing runs yet
        SetRun(0);
        return 0;
    case EM_SERVICE_TRIGGER:
        if (setup_complete()) {
            uint8_t mode = shared_get(g_config.mode);
            if (mode == 3)
                WakeInThreads(&g_config);
            if (mode == 2 || mode == 3)
                WakeOutThreads(&g_config);
        }
        return result;
    default:
        return result;
    }
}

// ---- set-up and shutdown ---------------------------------------------------------------
// Registration failures after which the process must not run: another live
// process serves the service, the process has no valid service name, or the
// node cannot be used. Nothing of the service has been touched then.
bool MustNotRun(uint32_t reason)
{
    return reason == KO_E_SERVED || reason == KO_E_NO_SERVICE || reason == KO_E_STORE;
}

// false when the service must not run (the console says why).
bool ServiceSetup(ServiceConfig *config)
{
    KoServiceRegistration registration{};
    registration.signature = KO_REGISTRATION_SIGNATURE;
    registration.handler = ControlHandler;
    shared_set(config->state, SETUP_RUNNING);
    if (uint32_t reason = KoServiceRegister(&registration); reason != 0) {
        PrintWarning(1264, reason);
        if (MustNotRun(reason)) {
            std::printf("iohost: %s; the service does not start\n", KoServiceError());
            std::fflush(stdout);
            return false;
        }
    }
    config->reconnect_count = 10000;
    BuildTagNames();
    if (uint32_t result = ReadServiceConfig(config); result != 0)
        PrintWarning(1273, result);
    uint32_t tags_result = CreateServiceTags(config);
    if (tags_result != 0)
        PrintWarning(1277, tags_result);
    SetRtProcessMaxPriority(NULL_RTHANDLE, 0);
    SYSINFO counter_rate;
    CopyRtSystemInfo(&counter_rate);  // calibrates the cycle clock now, not in the first measured cycle

    DriverCalls.wait = CB_WAIT;
    shared_set(DriverCalls.event, CB_EVENT);
    DriverCalls.write = CB_WRITE;
    DriverCalls.read = CB_READ;
    DriverCalls.close = CB_CLOSE;
    DriverCalls.open = CB_OPEN;
    DriverCalls.init = CB_INIT;
    uint32_t api_status = 0;
    if (DriverCalls.init(&g_record, &api_status) == 0) {
        DriverCalls.conn_check = g_record.conn_check;
        DriverCalls.reconnect = g_record.reconnect;
    }

    // Each direction's table is sorted once, before any of its threads exists.
    SortTagRefs(TagRefs_Out, KoOutPortCount);
    StartServiceThreads(g_record.out_threads, config->out_thread_num, config->out_priority, OutServThread, "Out",
                        "OutServ");
    SortTagRefs(TagRefs_IN, KoInPortCount);
    StartServiceThreads(g_record.in_threads, config->in_thread_num, config->in_priority, InServThread, "In",
                        "InServ");
    BYTE pacing_priority = config->in_priority < config->out_priority ? config->in_priority : config->out_priority;
    CatalogRtHandle(NULL_RTHANDLE, CreateRtThread(pacing_priority, AutoCycleThread, SERVICE_THREAD_STACK, config),
                    "AutoCycle");
    CatalogRtHandle(NULL_RTHANDLE, CreateRtThread(pacing_priority, ConChkThread, SERVICE_THREAD_STACK, config),
                    "ConChk");

    RTHANDLE root = GetRtThreadHandles(ROOT_PROCESS);
    RTHANDLE self = GetRtThreadHandles(THIS_PROCESS);
    UncatalogRtHandle(root, names.catalog);
    CatalogRtHandle(root, self, names.catalog);
    SetLastRtError(0);
    SetStatus(1);

    uint8_t previous = std::atomic_ref<uint8_t>(config->state).exchange(SETUP_COMPLETE);
    if (previous == SETUP_RUN_REQUESTED) {
        ServiceOpen(config);
        shared_set(config->state, SETUP_COMPLETE);
    }
    if (stop_requested.exchange(false))
        StopService();
    return true;
}

uint32_t ServiceShutdown()
{
    StopService();
    return 0;
}

// ---- start-up -------------------------------------------------------------------------
struct EntryPoint {
    const char *name;
    void *DriverEntryPoints::*slot;
    bool required;
    const char *message;
    int exit_value;
};

// The slots of DriverEntryPoints as untyped addresses, for the binding loop.
template <typename Fn>
void *DriverEntryPoints::*slot_of(Fn DriverEntryPoints::*member)
{
    return reinterpret_cast<void *DriverEntryPoints::*>(member);
}

const EntryPoint kEntryPoints[] = {
    {"HiInit", slot_of(&DriverEntryPoints::HiInit), true, "RSL HiInit Function Load Fial[%s]\n", -3},
    {"HiOpen", slot_of(&DriverEntryPoints::HiOpen), true, "RSL HiOpen Function Load Fial[%s]\n", -4},
    {"HiClose", slot_of(&DriverEntryPoints::HiClose), true, "RSL HiClose Function Load Fial[%s]\n", -5},
    {"HiRead", slot_of(&DriverEntryPoints::HiRead), true, "RSL HiRead Function Load Fial[%s]\n", -6},
    {"HiWrite", slot_of(&DriverEntryPoints::HiWrite), true, "RSL HiWrite Function Load Fial[%s]\n", -6},
    {"HiReConnect", slot_of(&DriverEntryPoints::HiReConnect), false, nullptr, 0},
    {"HiConnectChk", slot_of(&DriverEntryPoints::HiConnectChk), false, nullptr, 0},
    {"HiWait", slot_of(&DriverEntryPoints::HiWait), false, nullptr, 0},
};

// 0, or the exit value of the first mandatory entry point that is missing.
int BindDriver(ServiceRecord &record)
{
    for (const EntryPoint &e : kEntryPoints) {
        void *address = GetRtProcAddress(record.rsl_module, e.name);
        if (address == nullptr && e.required) {
            std::printf(e.message, record.rsl_path);
            return e.exit_value;
        }
        record.entry.*e.slot = address;
    }
    return 0;
}

bool is_end_notification(DWORD type)
{
    for (DWORD end : kEndNotifications)
        if (type == end)
            return true;
    return false;
}

}  // namespace

uint32_t ServiceOpen(ServiceConfig *config)
{
    SetRun(1);
    uint32_t api_status = 0;
    uint32_t status = DriverCalls.open(&g_record, &api_status);
    if (status != 0)
        LogPrint(KoServiceName, "ERR", "fnOpen error. Status[0x%xH]. ErrStatus[0x%xH],%s,%05d", status, api_status,
                 kKorecode, 1145);
    SetConnected(shared_get(config->connected), api_status);
    SetError(shared_get(config->error));
    shared_set(config->opened, 1);
    return status;
}

void SetStatus(uint32_t value)
{
    uint8_t v = static_cast<uint8_t>(value);
    uint8_t old = shared_get(g_config.status);
    if (v == old)
        return;
    LogPrint(KoServiceName, "OPE", "%s Change. %d > %d,%s,%05d", KoServiceStatusTag, old, v, kKorecode, 195);
    shared_set(g_config.status, v);
    KoTagWrite(KoServiceStatusTag, &v, 1);
}

namespace {

// A flag's low byte as 0 or 1, into its field and its one-byte tag. Callers
// on other threads may set the same flag meanwhile; whichever value the
// field ends with, the tag ends with it too, or a service could skip its
// cycles while its Error tag said 0.
uint8_t set_flag(uint8_t &field, uint32_t flag, const char *tag)
{
    uint8_t value = (flag & 0xFF) != 0 ? 1 : 0;
    shared_set(field, value);
    KoTagWrite(tag, &value, 1);
    for (uint8_t now; (now = shared_get(field)) != value; value = now)
        KoTagWrite(tag, &now, 1);
    return value;
}

}  // namespace

void SetRun(uint32_t flag)
{
    set_flag(g_config.run, flag, KoServiceRunTag);
}

void IncrementLive()
{
    uint32_t live = shared_get(g_config.live) + 1;
    shared_set(g_config.live, live);
    KoTagWrite(KoServiceLiveTag, &live, 4);
}

void SetError(uint32_t flag)
{
    uint8_t error = set_flag(g_config.error, flag, KoServiceErrorTag);
    LogPrint(KoServiceName, "DBG", "Error Status[%d]\n,%s,%05d", error, kKorecode, 227);
}

void SetConnected(uint32_t flag, uint32_t code)
{
    uint8_t connected = set_flag(g_config.connected, flag, names.connected);
    KoTagWriteByEntry(g_record.connect_last_error_entry, &code, 4);
    LogPrint(KoServiceName, "DBG", "Connect Status[%d][0x%xH]\n,%s,%05d", connected, code, kKorecode, 238);
}

int HostMain(int argc, char **argv)
{
    std::memset(&g_config, 0, sizeof g_config);
    std::memset(&g_record, 0, sizeof g_record);
    if (argc < 3) {
        std::printf("wrong number of arguments (given 0, expected 2+)\n");
        return -2;
    }
    int option = -1;
    for (int i = 1; i < argc && option < 0; ++i)
        if (strcasecmp(argv[i], "-rsl") == 0)
            option = i;
    if (option < 0 || option == argc - 1) {
        std::printf("wrong number of arguments (given 0, expected 1+)\n");
        return -1;
    }
    const char *path = argv[option + 1];
    size_t length = std::strlen(path);
    if (length >= SERVICE_RSL_PATH_MAX + 1) {
        std::printf("Size Error Proccess Argument = RSL Path=[%s]\n", path);
        return -3;
    }
    std::memcpy(g_record.rsl_path, path, length + 1);
    if (length == 0) {
        std::printf("RSL path not specified.\n");
        return -1;
    }
    g_record.rsl_module = LoadRtLibrary(g_record.rsl_path);
    if (g_record.rsl_module == 0) {
        std::printf("RSL Load Fail[%s]\n", g_record.rsl_path);
        return -2;
    }
    if (int failure = BindDriver(g_record); failure != 0)
        return failure;

    if (!ServiceSetup(&g_config))
        return kExitNotStarted;
    SynchronizeRtLoader();
    for (;;) {
        EVENTINFO info{};
        if (RtNotifyEvent(kAllNotifications, 0xFFFFFFFFu, &info) && is_end_notification(info.dwNotifyType)) {
            ServiceShutdown();
            KoServiceEnd(&g_config);
            // The service threads still run: end without running static destructors under them.
            std::fflush(nullptr);
            _exit(0);
        }
    }
}
