/* driver_api.h - the contract between the container and a driver library:
 * the eight exported entry points, their status values, and which container
 * thread calls each. A driver library is any .rsl that exports the five
 * mandatory entry points under these exact, undecorated names.
 *
 * Every entry point returns a driver status and reports the lower library's
 * own 32-bit code through its last argument, api_status (HiConnectChk returns
 * a connection flag instead). Words that carry an address of the lower library
 * (init_context, connection) are pointer-sized on this host.
 */
#ifndef DRIVER_API_H
#define DRIVER_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Driver status, common to all drivers. */
#define HI_STATUS_OK 0u        /* success */
#define HI_STATUS_WARNING 1u   /* lower code non-zero, below the driver's error threshold */
#define HI_STATUS_ERROR 256u   /* lower code at or above the threshold, or no lower function */
/* api_status of a driver that has no lower function for the call. */
#define HI_API_STATUS_NO_FUNCTION 0xFFFFFFFFu

/* A lower library's code as a driver status: 0, a warning below the
 * driver's error threshold, an error at or above it. */
static inline uint32_t HiMapStatus(uint32_t api_status, uint32_t error_threshold)
{
    if (api_status == 0)
        return HI_STATUS_OK;
    return api_status < error_threshold ? HI_STATUS_WARNING : HI_STATUS_ERROR;
}

/* What an entry point answers when its lower function is missing. */
static inline uint32_t HiNoFunction(uint32_t *api_status)
{
    *api_status = HI_API_STATUS_NO_FUNCTION;
    return HI_STATUS_ERROR;
}

struct ServiceRecord;

/* Main thread, once, after the configuration is read. Fills init_context. */
typedef uint32_t (*HiInitFn)(const char *driver_name, uintptr_t *init_context, uint32_t timeout,
                             uint32_t *api_status);
/* Main thread (end of set-up) or the control thread (EM_SERVICE_RUN), possibly
 * again without a close in between. Fills connection. */
typedef uint32_t (*HiOpenFn)(uintptr_t init_context, uintptr_t *connection, uint32_t timeout,
                             uint32_t *api_status);
/* Main thread (shutdown) or the control thread (EM_SERVICE_STOP). */
typedef uint32_t (*HiCloseFn)(uintptr_t connection, uint32_t *api_status);
/* Up to 32 In and 32 Out threads at once. unit: 8 for a single point read
 * into a local buffer, the length for a block. */
typedef uint32_t (*HiReadFn)(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length,
                             void *buffer, uint32_t unit, uint32_t timeout, uint32_t *api_status);
/* Up to 32 Out threads at once. */
typedef uint32_t (*HiWriteFn)(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length,
                              const void *buffer, uint32_t timeout, uint32_t *api_status);
/* Optional. ConChk thread and the In/Out threads; replaces record->connection
 * with one whole aligned store (__atomic_store_n): other threads read it meanwhile. */
typedef uint32_t (*HiReConnectFn)(struct ServiceRecord *record, uint32_t timeout, uint32_t *api_status);
/* Optional. ConChk thread. Result: connection flag in the low byte (non-zero = connected). */
typedef uint32_t (*HiConnectChkFn)(struct ServiceRecord *record, uint32_t timeout, uint32_t *code);
/* Optional. AutoCycle thread, once per pass when UseWait is 1. */
typedef uint32_t (*HiWaitFn)(uintptr_t connection, uint32_t wait_timeout, uint32_t *api_status);

/* The eight entry points in binding order; the last three may be null. */
typedef struct DriverEntryPoints {
    HiInitFn HiInit;
    HiOpenFn HiOpen;
    HiCloseFn HiClose;
    HiReadFn HiRead;
    HiWriteFn HiWrite;
    HiReConnectFn HiReConnect;
    HiConnectChkFn HiConnectChk;
    HiWaitFn HiWait;
} DriverEntryPoints;

#ifdef __cplusplus
}

/* A driver step that is one call of its lower library: a missing lower
 * function answers as HiNoFunction; otherwise the lower code goes to
 * api_status and is mapped with the driver's error threshold. */
template <typename Fn, typename... Args>
inline uint32_t HiCallLower(Fn fn, uint32_t error_threshold, uint32_t *api_status, Args... args)
{
    if (fn == nullptr)
        return HiNoFunction(api_status);
    *api_status = fn(args...);
    return HiMapStatus(*api_status, error_threshold);
}
#endif

#endif /* DRIVER_API_H */
