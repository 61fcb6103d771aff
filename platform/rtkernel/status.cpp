// status.cpp - the per-thread last error of every kernel call.
#include "kernel_internal.h"

namespace {
thread_local uint16_t last_error = E_OK;
}

extern "C" DWORD GetLastRtError(void)
{
    return last_error;
}

extern "C" void SetLastRtError(DWORD code)
{
    last_error = static_cast<uint16_t>(code);
}

extern "C" const char *GetRtErrorText(DWORD code)
{
    switch (code) {
    case E_OK: return "E_OK";
    case E_TIME: return "E_TIME";
    case E_MEM: return "E_MEM";
    case E_BUSY: return "E_BUSY";
    case E_LIMIT: return "E_LIMIT";
    case E_CONTEXT: return "E_CONTEXT";
    case E_EXIST: return "E_EXIST";
    case E_STATE: return "E_STATE";
    case E_NOT_CONFIGURED: return "E_NOT_CONFIGURED";
    case E_SLOT: return "E_SLOT";
    case E_INVALID_ADDRESS: return "E_INVALID_ADDRESS";
    case E_TYPE: return "E_TYPE";
    case E_PARAM: return "E_PARAM";
    case E_BAD_ADDR: return "E_BAD_ADDR";
    default: return "E_UNKNOWN";
    }
}
