// cycle_end.cpp - the end of every In and Out cycle: the service's error
// flag and reconnection from the cycle's driver status, the thread's
// last-error tags, and its cycle time.
#include "iohost.h"
#include "rt.h"

void EndCycle(ThreadRecord *record, bool output, uint32_t driver_status, uint32_t tag_status,
              uint32_t *reconnect_status, uint64_t start)
{
    constexpr uint32_t kWarning = HI_STATUS_WARNING;
    constexpr uint32_t kError = HI_STATUS_ERROR;
    if ((driver_status & (kWarning | kError)) != 0) {
        SetError(1);
        if ((driver_status & kWarning) != 0 && DriverCalls.reconnect != nullptr &&
            DriverCalls.reconnect(&g_record, reconnect_status) == 0)
            SetError(0);
    } else if (driver_status == 0) {
        (output ? SetOutLastError : SetInLastError)(record->index, 0);
    }
    (output ? SetOutKoreLastError : SetInKoreLastError)(record->index, tag_status);
    UpdateCycleTime(record, start, RtTimeStampCounter());
}
