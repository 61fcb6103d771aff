// service_thread.cpp - what every In and Out thread does around its points:
// the checks at thread start, the wait for a release, the cycle count, and
// the end of the cycle (error flag, reconnection, last-error tags, times).
#include "iohost.h"
#include "log_options.h"
#include "rt.h"

namespace {

void end_cycle(const Cycle &c, bool output, uint32_t *reconnect_status, uint64_t start)
{
    constexpr uint32_t kWarning = HI_STATUS_WARNING;
    constexpr uint32_t kError = HI_STATUS_ERROR;
    if ((c.driver_status & (kWarning | kError)) != 0) {
        SetError(1);
        if ((c.driver_status & kWarning) != 0 && DriverCalls.reconnect != nullptr) {
            if (DriverCalls.reconnect(&g_record, reconnect_status) == 0)
                SetError(0);
            else
                g_reconnect_pending.store(true);
        }
    } else if (c.driver_status == 0) {
        (output ? SetOutLastError : SetInLastError)(c.record->index, 0);
    }
    (output ? SetOutKoreLastError : SetInKoreLastError)(c.record->index, c.tag_status);
    UpdateCycleTime(c.record, start, RtTimeStampCounter());
}

// With the error flag at 1 a release only runs a cycle when it is the one
// that retries a failed reconnection, and that retry succeeds.
bool retry_reconnection(uint32_t *reconnect_status)
{
    if (!g_reconnect_pending.exchange(false))
        return false;
    if (DriverCalls.reconnect(&g_record, reconnect_status) != 0) {
        g_reconnect_pending.store(true);
        return false;
    }
    SetError(0);
    return true;
}

// In thread 0 hands the clock back to the AutoCycle thread when it ends.
struct Pacer {
    bool active;
    ~Pacer()
    {
        if (active)
            ReturnPacing();
    }
};

}  // namespace

void RunServiceThread(ThreadRecord *record, const Direction &d)
{
    Pacer pacer{!d.output && record->index == 0 && InThreadPaces(&g_config)};
    Cycle c{record};
    uint32_t reconnect_status = 0;
    uint32_t refreshed = 0;  // the open or reconnection whose full write went through
    int32_t n = *d.count;
    if (n > 0 && *d.refs == nullptr) {
        LogPrint(KoServiceName, "ERR", d.no_table_text, kKorecode, d.no_table_line);
        SetError(1);
        return;
    }
    if (n > 0 && !AllocSegmentBuffer(&c.segment, &c.segment_size, *d.ports, n)) {
        LogPrint(KoServiceName, "ERR", d.no_memory_text, static_cast<int>(c.segment_size), kKorecode,
                 d.no_memory_line);
        SetError(1);
        return;
    }
    // The table was sorted by set-up, before any thread of this direction existed.
    for (;;) {
        if (pacer.active)
            PacedWait(&g_config);
        else
            WaitForRtSemaphore(record->wake_semaphore, 1, WAIT_FOREVER);
        if (shared_get(g_config.error) == 1 && !retry_reconnection(&reconnect_status))
            continue;
        uint64_t start = RtTimeStampCounter();
        record->count = record->count + 1;
        KoTagWriteByEntry(record->cnt_entry, &record->count, 4);
        c.driver_status = 0;
        c.tag_status = 0;
        uint32_t refresh = g_output_refresh.load();
        c.write_all = d.output && refresh != refreshed;
        if (!d.move_points(c)) {
            SetError(1);
            return;
        }
        if (c.driver_status == 0)
            refreshed = refresh;  // else the full write is tried again next cycle
        end_cycle(c, d.output, &reconnect_status, start);
    }
}
