/* service_record.h - the container's settings and states (ServiceConfig), the
 * record it shares with the driver library (ServiceRecord) and one record per
 * service thread (ThreadRecord). Container and every driver are built against
 * this one declaration: HiReConnect and HiConnectChk receive the address of
 * the ServiceRecord and read init_context and connection from it.
 *
 * Every field that threads share is a single byte or an aligned 32-bit word
 * written whole; no lock guards them.
 */
#ifndef SERVICE_RECORD_H
#define SERVICE_RECORD_H

#include <stdint.h>

#include "driver_api.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SERVICE_MAX_THREADS 32
#define SERVICE_RSL_PATH_SIZE 260
#define SERVICE_RSL_PATH_MAX 255
#define SERVICE_THREAD_STACK 8192

/* Set-up states of ServiceConfig.state. */
#define SETUP_NOT_STARTED 0
#define SETUP_RUNNING 1
#define SETUP_RUN_REQUESTED 2
#define SETUP_COMPLETE 3

/* Modes: what the AutoCycle pass releases; the rest waits for the trigger code. */
#define SERVICE_MODE_CYCLED 1        /* In and Out threads every pass */
#define SERVICE_MODE_OUT_TRIGGERED 2 /* In threads every pass, Out threads on the trigger */
#define SERVICE_MODE_TRIGGERED 3     /* In and Out threads on the trigger only */

typedef struct ServiceConfig {
    uint8_t state;
    uint8_t status;
    uint8_t run;
    uint8_t error;
    uint32_t live;
    uint32_t cycle;
    uint8_t mode;
    uint8_t in_priority;
    uint8_t out_priority;
    uint8_t in_thread_num;
    uint8_t out_thread_num;
    uint8_t connected;
    uint32_t connect_chk_cycle;
    uint8_t measure;
    uint8_t opened;
    uint32_t reconnect_count;
    uint8_t output_different;
    uint32_t connect_fail_count;
    uint32_t timeout;
    uint8_t execute_reconnect;
    uint32_t wait_timeout;
    uint8_t use_wait;
    uint8_t use_kernel_tick;
} ServiceConfig;

typedef struct ThreadRecord {
    uint16_t index;
    uint16_t thread;
    uint32_t stack_size;
    uint8_t priority;
    uint16_t wake_semaphore;
    uint32_t count;
    float time;
    float time_min;
    float time_max;
    uint32_t cnt_entry;
    uint32_t time_entry;
    uint32_t time_min_entry;
    uint32_t time_max_entry;
    uint32_t last_error_entry;
    uint32_t kore_last_error_entry;
} ThreadRecord;

struct ServiceRecord;
/* The call steps a driver may find in the record (null when absent). */
typedef uint8_t (*ConnCheckStep)(struct ServiceRecord *record, uint32_t *code);
typedef uint32_t (*ReconnectStep)(struct ServiceRecord *record, uint32_t *api_status);

typedef struct ServiceRecord {
    ThreadRecord in_threads[SERVICE_MAX_THREADS];
    ThreadRecord out_threads[SERVICE_MAX_THREADS];
    ConnCheckStep conn_check;
    ReconnectStep reconnect;
    uint8_t *driver_priority_ref;
    char rsl_path[SERVICE_RSL_PATH_SIZE];
    uint16_t rsl_module;
    DriverEntryPoints entry;
    uintptr_t init_context;
    uintptr_t connection;
    uint32_t connect_last_error_entry;
} ServiceRecord;

#ifdef __cplusplus
}
#endif

#endif /* SERVICE_RECORD_H */
