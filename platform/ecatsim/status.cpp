// status.cpp - the texts of the simulated master's codes.
#include "ecatsim.h"

namespace {

struct Text {
    uint32_t code;
    const char *text;
};
constexpr Text kTexts[] = {
    {ECATSIM_OK, "ECATSIM_OK: success"},
    {ECATSIM_E_LINK_DOWN, "ECATSIM_E_LINK_DOWN: the EtherCAT link is lost"},
    {ECATSIM_E_ESM_TIMEOUT, "ECATSIM_E_ESM_TIMEOUT: the master did not reach operational within the timeout"},
    {ECATSIM_E_ADDRESS, "ECATSIM_E_ADDRESS: address or length outside the images and registers"},
    {ECATSIM_E_NOT_OPEN, "ECATSIM_E_NOT_OPEN: not an open connection"},
    {ECATSIM_E_READ_ONLY, "ECATSIM_E_READ_ONLY: the output read-back area and the registers cannot be written"},
    {ECATSIM_E_MASTER, "ECATSIM_E_MASTER: node_name names no [[ethercat]] master of the node config"},
    {ECATSIM_E_BUS_FILE, "ECATSIM_E_BUS_FILE: the bus file cannot be read (the node log says where)"},
    {ECATSIM_E_OPTION, "ECATSIM_E_OPTION: unknown option"},
    {ECATSIM_E_NOT_INIT, "ECATSIM_E_NOT_INIT: init_context does not come from Init"},
    {ECATSIM_E_OTHER_BUS, "ECATSIM_E_OTHER_BUS: this process already runs another bus"},
    {ECATSIM_E_START, "ECATSIM_E_START: the master cannot start"},
};
constexpr Text kEhTexts[] = {
    {EH_E_NO_MASTER, "EH_E_NO_MASTER: no master of that name runs in this process"},
    {EH_E_HANDLE, "EH_E_HANDLE: not a master handle"},
    {EH_E_NOT_FOUND, "EH_E_NOT_FOUND: no such terminal"},
    {EH_E_RECORD, "EH_E_RECORD: the search record's size is not 88"},
    {EH_E_CANCELLED, "EH_E_CANCELLED: the wait was cancelled"},
    {EH_E_TIMEOUT, "EH_E_TIMEOUT: no cycle within the time"},
    {EH_E_NOT_SUPPORTED, "EH_E_NOT_SUPPORTED: object dictionary access is not simulated"},
};

}  // namespace

extern "C" const char *EcatSimStatusText(uint32_t code)
{
    for (const Text &t : kTexts)
        if (t.code == code)
            return t.text;
    for (const Text &t : kEhTexts)
        if (t.code == code)
            return t.text;
    return "unknown code";
}
