// binding.cpp - the CAN driver binds the EtherCAT driver "ecatlink.rsl" and
// the master interface "ehapi.rsl" when it is loaded; without either
// library the load fails, a missing function is reported and stays unbound.
#include "can_driver.h"
#include "function_binding.h"

#include <cstdio>
#include <iterator>

#define EXPORT extern "C" __attribute__((visibility("default")))

CanDriverState g_can;


bool BindLowerLibraries(CanDriverState *s)
{
    s->lower_module = LoadRtLibrary("ecatlink.rsl");
    if (s->lower_module == 0) {
        std::printf("Load Lower Wrapper RSL Failed(%s\n", "ecatlink.rsl");
        return false;
    }
    DriverEntryPoints &l = s->lower;
    const FunctionBinding driver[] = {
        {s->lower_module, "HiInit", FunctionSlot(l.HiInit), 939, 0x80010000u},
        {s->lower_module, "HiOpen", FunctionSlot(l.HiOpen), 940, 0x80020000u},
        {s->lower_module, "HiClose", FunctionSlot(l.HiClose), 941, 0x80030000u},
        {s->lower_module, "HiRead", FunctionSlot(l.HiRead), 942, 0x80040000u},
        {s->lower_module, "HiWrite", FunctionSlot(l.HiWrite), 943, 0x80050000u},
        {s->lower_module, "HiReConnect", FunctionSlot(l.HiReConnect), 944, 0x80060000u},
        {s->lower_module, "HiConnectChk", FunctionSlot(l.HiConnectChk), 945, 0x80070000u},
        {s->lower_module, "HiWait", FunctionSlot(l.HiWait), 946, 0x80080000u},
    };
    BindFunctions("CANBRIDGE", driver, std::size(driver));
    s->ehapi_module = LoadRtLibrary("ehapi.rsl");
    if (s->ehapi_module == 0) {
        std::printf("Load Lower Wrapper RSL Failed(%s\n", "ehapi.rsl");
        return false;
    }
    EhApi &e = s->eh;
    const FunctionBinding master[] = {
        {s->ehapi_module, "EhGetEhNodeStatus", FunctionSlot(e.get_node_status), 955, 0x80110000u},
        {s->ehapi_module, "EhOpen", FunctionSlot(e.open), 956, 0x80120000u},
        {s->ehapi_module, "EhClose", FunctionSlot(e.close), 957, 0x80130000u},
        {s->ehapi_module, "EhFindSlave", FunctionSlot(e.find_slave), 958, 0x80140000u},
        {s->ehapi_module, "EhGetViosInAddress", FunctionSlot(e.vios_in), 959, 0x80150000u},
        {s->ehapi_module, "EhGetViosOutAddress", FunctionSlot(e.vios_out), 960, 0x80160000u},
        {s->ehapi_module, "EhGetState", FunctionSlot(e.get_state), 961, 0x80170000u},
        {s->ehapi_module, "EhReadOD", FunctionSlot(e.read_od), 962, 0x80180000u},
        {s->ehapi_module, "EhWriteOD", FunctionSlot(e.write_od), 963, 0x80190000u},
        {s->ehapi_module, "EhWaitForCyclic", FunctionSlot(e.wait), 964, 0x801A0000u},
        {s->ehapi_module, "EhCancelWaitForCyclic", FunctionSlot(e.cancel_wait), 965, 0x801B0000u},
    };
    BindFunctions("CANBRIDGE", master, std::size(master));
    return true;
}

EXPORT BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID)
{
    if (reason != RSL_PROCESS_ATTACH)
        return TRUE;
    return BindLowerLibraries(&g_can) ? TRUE : FALSE;
}
