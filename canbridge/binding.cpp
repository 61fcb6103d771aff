// binding.cpp - the CAN driver binds the EtherCAT driver "ecatlink.rsl" and
// the master interface "ehapi.rsl" when it is loaded; without either
// library the load fails, a missing function is reported and stays unbound.
#include "can_driver.h"

#include <cstdio>

#define EXPORT extern "C" __attribute__((visibility("default")))

CanDriverState g_can;

namespace {

struct Binding {
    const char *name;
    void **slot;
};

void bind_all(RTHANDLE module, const Binding *bindings, size_t count, int first_line, uint32_t first_code)
{
    for (size_t i = 0; i < count; ++i) {
        *bindings[i].slot = GetRtProcAddress(module, bindings[i].name);
        if (*bindings[i].slot == nullptr)
            std::printf("E$CANBRIDGE[%05d] GetRtProcAddress( %s ) failed. Status[%08Xh]\n",
                        first_line + static_cast<int>(i), bindings[i].name,
                        ((first_code + static_cast<uint32_t>(i)) << 16) | (GetLastRtError() & 0xFFFFu));
    }
}

template <typename Fn>
Binding bound(const char *name, Fn &slot)
{
    return {name, reinterpret_cast<void **>(&slot)};
}

}  // namespace

bool BindLowerLibraries(CanDriverState *s)
{
    s->lower_module = LoadRtLibrary("ecatlink.rsl");
    if (s->lower_module == 0) {
        std::printf("Load Lower Wrapper RSL Failed(%s\n", "ecatlink.rsl");
        return false;
    }
    DriverEntryPoints &l = s->lower;
    const Binding driver[] = {
        bound("HiInit", l.HiInit),       bound("HiOpen", l.HiOpen),           bound("HiClose", l.HiClose),
        bound("HiRead", l.HiRead),       bound("HiWrite", l.HiWrite),         bound("HiReConnect", l.HiReConnect),
        bound("HiConnectChk", l.HiConnectChk), bound("HiWait", l.HiWait),
    };
    bind_all(s->lower_module, driver, 8, 939, 0x8001);
    s->ehapi_module = LoadRtLibrary("ehapi.rsl");
    if (s->ehapi_module == 0) {
        std::printf("Load Lower Wrapper RSL Failed(%s\n", "ehapi.rsl");
        return false;
    }
    EhApi &e = s->eh;
    const Binding master[] = {
        bound("EhGetEhNodeStatus", e.get_node_status), bound("EhOpen", e.open),
        bound("EhClose", e.close),                     bound("EhFindSlave", e.find_slave),
        bound("EhGetViosInAddress", e.vios_in),        bound("EhGetViosOutAddress", e.vios_out),
        bound("EhGetState", e.get_state),              bound("EhReadOD", e.read_od),
        bound("EhWriteOD", e.write_od),                bound("EhWaitForCyclic", e.wait),
        bound("EhCancelWaitForCyclic", e.cancel_wait),
    };
    bind_all(s->ehapi_module, master, 11, 955, 0x8011);
    return true;
}

EXPORT BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID)
{
    if (reason != RSL_PROCESS_ATTACH)
        return TRUE;
    return BindLowerLibraries(&g_can) ? TRUE : FALSE;
}
