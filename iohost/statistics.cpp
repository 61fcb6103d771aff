// statistics.cpp - per-thread cycle statistics: cycle times from the
// time-stamp counter and the last-error tags. Each In and Out thread writes
// only its own record and tags, by entry.
#include "iohost.h"
#include "rt.h"

namespace {

void write_entry(uint32_t entry, const void *value)
{
    KoTagWriteByEntry(entry, value, 4);
}

}  // namespace

void UpdateCycleTime(ThreadRecord *record, uint64_t start, uint64_t end)
{
    if (g_config.measure == 0 || record == nullptr || start == 0 || end == 0)
        return;
    SYSINFO info;
    CopyRtSystemInfo(&info);
    double ticks_per_second = static_cast<double>(info.PentiumTicksPerUsec) * 1000000.0;
    double ns_per_tick = 1000000000.0 / ticks_per_second;
    double elapsed = static_cast<double>(end - start);
    float t = static_cast<float>(ns_per_tick * elapsed / 1000.0 / 1000.0);
    record->time = t;
    write_entry(record->time_entry, &record->time);
    if (record->time_min == 0.0f || (record->time_min > t && t != 0.0f)) {
        record->time_min = t;
        write_entry(record->time_min_entry, &record->time_min);
    }
    if (t > record->time_max) {
        record->time_max = t;
        write_entry(record->time_max_entry, &record->time_max);
    }
}

namespace {

// One of a thread's statistics tags; nothing for thread numbers of 32 or more.
void write_thread_tag(ThreadRecord *threads, uint16_t thread, uint32_t ThreadRecord::*entry, uint32_t code)
{
    if (thread < SERVICE_MAX_THREADS)
        write_entry(threads[thread].*entry, &code);
}

}  // namespace

void SetInLastError(uint16_t thread, uint32_t code)
{
    write_thread_tag(g_record.in_threads, thread, &ThreadRecord::last_error_entry, code);
}

void SetOutLastError(uint16_t thread, uint32_t code)
{
    write_thread_tag(g_record.out_threads, thread, &ThreadRecord::last_error_entry, code);
}

void SetInKoreLastError(uint16_t thread, uint32_t code)
{
    write_thread_tag(g_record.in_threads, thread, &ThreadRecord::kore_last_error_entry, code);
}

void SetOutKoreLastError(uint16_t thread, uint32_t code)
{
    write_thread_tag(g_record.out_threads, thread, &ThreadRecord::kore_last_error_entry, code);
}
