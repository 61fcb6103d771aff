// iohost.h - what the rooms of the container share: its two records, the
// call-step table, the reporting operations, the thread routines and the
// point helpers. Every routine here runs inside the one iohost process.
#pragma once

#include "kohgapi.h"
#include "service_record.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- start-up, binding, set-up and shutdown (startup.cpp): the program's main ---
int HostMain(int argc, char **argv);

// ---- records (startup.cpp) -------------------------------------------------
extern ServiceConfig g_config;
extern ServiceRecord g_record;

// Fields that several threads share are single bytes or aligned 32-bit words
// read and written whole, without locks. These say so to the compiler and
// the thread sanitizer; on this host they compile to plain moves.
template <typename T>
inline T shared_get(T &field)
{
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T, typename V>
inline void shared_set(T &field, V value)
{
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_release);
}

// Source file names of the log lines, as the log shows them.
inline constexpr const char *kKorecode = "korecode";
inline constexpr const char *kUserfunc = "userfunc";

// ---- call steps (userfunc.cpp) ----------------------------------------------
typedef uint32_t (*WaitStep)(ServiceRecord *record, uint32_t *api_status);
typedef uint32_t (*EventStep)(uint32_t first, uint32_t code, uint32_t third);
typedef uint32_t (*WriteStep)(ServiceRecord *record, uint32_t thread, uint32_t address, uint32_t unused,
                              const void *buffer, uint32_t length, const TagRef *ref);
typedef uint32_t (*ReadStep)(ServiceRecord *record, uint32_t thread, uint32_t address, uint32_t unused, void *buffer,
                             uint32_t length, uint32_t unit, const TagRef *ref);
typedef uint32_t (*RecordStep)(ServiceRecord *record, uint32_t *api_status);

// Every call from the container to the driver goes through this table. A
// null slot is a feature the driver does not have; its users skip it.
struct DriverCallTable {
    WaitStep wait;
    EventStep event;
    ReconnectStep reconnect;
    ConnCheckStep conn_check;
    WriteStep write;
    ReadStep read;
    RecordStep close;
    RecordStep open;
    RecordStep init;
};
extern DriverCallTable DriverCalls;

uint32_t CB_INIT(ServiceRecord *record, uint32_t *api_status);
uint32_t CB_OPEN(ServiceRecord *record, uint32_t *api_status);
uint32_t CB_CLOSE(ServiceRecord *record, uint32_t *api_status);
uint32_t CB_READ(ServiceRecord *record, uint32_t thread, uint32_t address, uint32_t unused, void *buffer,
                 uint32_t length, uint32_t unit, const TagRef *ref);
uint32_t CB_WRITE(ServiceRecord *record, uint32_t thread, uint32_t address, uint32_t unused, const void *buffer,
                  uint32_t length, const TagRef *ref);
uint8_t CB_CONCHK(ServiceRecord *record, uint32_t *code);
uint32_t CB_RECONNECT(ServiceRecord *record, uint32_t *api_status);
uint32_t CB_WAIT(ServiceRecord *record, uint32_t *api_status);
uint32_t CB_EVENT(uint32_t first, uint32_t code, uint32_t third);

// Bumped after every successful open or reconnection: each Out thread then
// writes every enabled point once, whatever OutputDifferent says, because
// the device may have lost its outputs.
extern std::atomic<uint32_t> g_output_refresh;

// Set when a cycle's reconnection failed and left the error flag at 1. The
// next release of any In or Out thread then tries the reconnection again
// instead of only skipping, so a device that comes back is found again; an
// open clears it (a failed open keeps the service stopped until the next one).
extern std::atomic<bool> g_reconnect_pending;

// ---- names, settings and statistics tags of the service (service_tags.cpp) -------
constexpr size_t kNameSize = 52;
constexpr size_t kCatalogNameSize = 12;
struct TagNames {
    char status[kNameSize], error[kNameSize], run[kNameSize], live[kNameSize];
    char mode[kNameSize], cycle[kNameSize], in_priority[kNameSize], out_priority[kNameSize];
    char in_thread_num[kNameSize], out_thread_num[kNameSize], execute_reconnect[kNameSize];
    char connect_chk_cycle[kNameSize], measure[kNameSize], reconnect_count[kNameSize];
    char output_different[kNameSize], timeout[kNameSize], wait_timeout[kNameSize], use_wait[kNameSize];
    char use_kernel_tick[kNameSize], connected[kNameSize], connect_last_error[kNameSize];
    char catalog[kCatalogNameSize];
};
extern TagNames g_names;
// The set-up warning on the console: "NAME service warning at line(L) ,reason R".
void PrintWarning(int line, uint32_t reason);
void BuildTagNames();
uint32_t ReadServiceConfig(ServiceConfig *config);
uint32_t CreateServiceTags(ServiceConfig *config);
// The entries of thread n's statistics tags into its record.
void BindThreadStatistics(ThreadRecord &record, const char *direction, int n);

// ---- control codes (control.cpp): the tag library's delivery thread -------------
uint32_t ControlHandler(uint32_t first, uint32_t code, uint32_t third);
// The stop steps shared by the end notification and EM_SERVICE_STOP.
void StopService();
// At the end of set-up: whether a stop came during it (then taken).
bool TakeStopRequest();

// ---- reporting (reporting.cpp); any thread -------------------------------------
void SetStatus(uint32_t value);
void SetRun(uint32_t flag);
void IncrementLive();
void SetError(uint32_t flag);
void SetConnected(uint32_t flag, uint32_t code);
uint32_t ServiceOpen(ServiceConfig *config);

// ---- statistics (statistics.cpp); the thread's own records ------------------------
void UpdateCycleTime(ThreadRecord *record, uint64_t start, uint64_t end);
void SetInLastError(uint16_t thread, uint32_t code);
void SetOutLastError(uint16_t thread, uint32_t code);
void SetInKoreLastError(uint16_t thread, uint32_t code);
void SetOutKoreLastError(uint16_t thread, uint32_t code);

// ---- points (points.cpp) -------------------------------------------------------
int CompareTagRefs(const void *a, const void *b);
bool SameAddressFollows(int32_t i, int32_t count, const TagRef *refs);
bool GetBit(void *value, uint32_t value_length, const void *item, uint32_t item_length, uint16_t bit);
bool PutBit(void *item, uint32_t item_length, const void *value, uint32_t value_length, uint16_t bit);
void SortTagRefs(TagRef *refs, int32_t count);
// Grows buffer to the largest segment among the first count ports; false
// when memory runs out (size then holds the size that failed).
bool AllocSegmentBuffer(uint8_t **buffer, uint32_t *size, const PortTag *ports, int32_t count);
// Makes buffer hold at least size bytes (not cleared); false when memory runs out.
bool EnsureSegmentBuffer(uint8_t **buffer, uint32_t *capacity, uint32_t size);
// The device item length of a bit point: 2 bytes above item width 7, else 1.
inline uint32_t BitItemLength(const TagRef &ref)
{
    return ref.item_width > 7 ? 2u : 1u;
}
inline bool IsSegmentType(uint16_t type)
{
    return type == KO_TYPE_SEGMENT || type == KO_TYPE_SEGMENT13;
}
// Value and bit points move at most 8 bytes, whatever a table says.
constexpr uint32_t kPointUnit = 8;
inline bool FitsPointUnit(const PortTag &port)
{
    return port.data_size <= kPointUnit;
}

// ---- service threads (service_thread.cpp) ----------------------------------------
// The working state of one In or Out thread's cycle.
struct Cycle {
    ThreadRecord *record;
    uint8_t *segment = nullptr;  // grows to the largest segment met, never shrinks
    uint32_t segment_size = 0;
    uint32_t driver_status = 0;  // OR of the cycle's device calls
    uint32_t tag_status = 0;     // OR of the cycle's tag calls
    bool write_all = false;      // Out: after an open or reconnection, every point once
};

// What differs between the In and the Out threads.
struct Direction {
    bool output;
    TagRef **refs;
    PortTag **ports;
    int32_t *count;
    const char *no_table_text;  // log lines of the stop path at thread start
    int no_table_line;
    const char *no_memory_text;
    int no_memory_line;
    bool (*move_points)(Cycle &cycle);  // false: stop the thread
};

// Thread start, then one cycle per release of the thread's semaphore.
void RunServiceThread(ThreadRecord *record, const Direction &direction);
void InServThread(void *thread_record);
void OutServThread(void *thread_record);
void AutoCycleThread(void *config);
void ConChkThread(void *config);
uint32_t WakeInThreads(ServiceConfig *config);
uint32_t WakeOutThreads(ServiceConfig *config);
// Whether In thread 0 paces the service itself (autocycle.cpp says when).
bool InThreadPaces(const ServiceConfig *config);
// In thread 0's wait when it paces: pauses and runs passes of the clock
// until one releases the threads.
void PacedWait(ServiceConfig *config);
// In thread 0 ends while it paces: the AutoCycle thread paces from now on.
void ReturnPacing();
