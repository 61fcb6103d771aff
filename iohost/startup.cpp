// startup.cpp - iohost's start-up: the command line, the driver library
// loaded and its entry points bound; the service's set-up (registration,
// names, settings, tags, the driver's init, the threads) and shutdown; then
// the main thread only waits for the end notification.
#include "function_binding.h"
#include "iohost.h"
#include "log_options.h"
#include "rt.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <unistd.h>

ServiceConfig g_config;
ServiceRecord g_record;

namespace {

constexpr size_t kThreadNameSize = 16;
constexpr DWORD kAllNotifications = 15;
// The service is served already, has no valid name, or has no usable node.
constexpr int kExitNotStarted = -7;
constexpr DWORD kEndNotifications[] = {230, 255};

void StartServiceThreads(ThreadRecord *records, uint8_t count, uint8_t priority, RT_THREAD_ENTRY routine,
                         const char *direction, const char *catalog_prefix)
{
    for (int n = 0; n < count && n < SERVICE_MAX_THREADS; ++n) {
        ThreadRecord &r = records[n];
        r.index = static_cast<uint16_t>(n);
        r.priority = priority;
        r.stack_size = SERVICE_THREAD_STACK;
        r.wake_semaphore = CreateRtSemaphore(0, 10, 0);
        BindThreadStatistics(r, direction, n);
        r.thread = CreateRtThread(r.priority, routine, r.stack_size, &r);
        char thread_name[kThreadNameSize] = {};
        std::snprintf(thread_name, sizeof thread_name, "%s%02x", catalog_prefix, n);
        CatalogRtHandle(NULL_RTHANDLE, r.thread, thread_name);
    }
}

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
    UncatalogRtHandle(root, g_names.catalog);
    CatalogRtHandle(root, self, g_names.catalog);
    SetLastRtError(0);
    SetStatus(1);

    uint8_t previous = std::atomic_ref<uint8_t>(config->state).exchange(SETUP_COMPLETE);
    if (previous == SETUP_RUN_REQUESTED) {
        ServiceOpen(config);
        shared_set(config->state, SETUP_COMPLETE);
    }
    if (TakeStopRequest())
        StopService();
    return true;
}

uint32_t ServiceShutdown()
{
    StopService();
    return 0;
}

// The five mandatory entry points come first, each with its console line
// and exit value when the driver lacks it.
struct Mandatory {
    const char *message;
    int exit_value;
};
constexpr Mandatory kMandatory[] = {
    {"RSL HiInit Function Load Fial[%s]\n", -3}, {"RSL HiOpen Function Load Fial[%s]\n", -4},
    {"RSL HiClose Function Load Fial[%s]\n", -5}, {"RSL HiRead Function Load Fial[%s]\n", -6},
    {"RSL HiWrite Function Load Fial[%s]\n", -6},
};

// 0, or the exit value of the first mandatory entry point that is missing.
int BindDriver(ServiceRecord &record)
{
    DriverEntryPoints &e = record.entry;
    RTHANDLE m = record.rsl_module;
    const FunctionBinding table[] = {
        {m, "HiInit", FunctionSlot(e.HiInit), 0, 0},         {m, "HiOpen", FunctionSlot(e.HiOpen), 0, 0},
        {m, "HiClose", FunctionSlot(e.HiClose), 0, 0},       {m, "HiRead", FunctionSlot(e.HiRead), 0, 0},
        {m, "HiWrite", FunctionSlot(e.HiWrite), 0, 0},       {m, "HiReConnect", FunctionSlot(e.HiReConnect), 0, 0},
        {m, "HiConnectChk", FunctionSlot(e.HiConnectChk), 0, 0}, {m, "HiWait", FunctionSlot(e.HiWait), 0, 0},
    };
    size_t missing = BindFunctions(nullptr, table, std::size(table));  // the container's own lines, below
    if (missing >= std::size(kMandatory))
        return 0;
    std::printf(kMandatory[missing].message, record.rsl_path);
    return kMandatory[missing].exit_value;
}

bool is_end_notification(DWORD type)
{
    for (DWORD end : kEndNotifications)
        if (type == end)
            return true;
    return false;
}

}  // namespace

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
