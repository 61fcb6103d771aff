/* rt.h - the real-time kernel API on Linux (librtkernel.so).
 *
 * Every call keeps the name, argument order and result convention of the
 * INtime kernel call it stands in for; where INtime's rule is kept, or where
 * this layer had to choose, the declaration says so. Handles are 16-bit and
 * index process-local tables. A failing call sets the calling thread's last
 * error (GetLastRtError); a successful call leaves it as it was.
 *
 * Environment, read once per process:
 *   RT_NODE_DIR        node runtime directory (default /dev/shm/rtnode-$RT_NODE_NAME)
 *   RT_NODE_NAME       node name (default: host name)
 *   RT_LIBRARY_PATH    colon-separated folders searched by LoadRtLibrary
 *   RT_KERNEL_TICK_US  low-level tick in microseconds (default 500)
 *   RT_SCHED=fifo      run threads SCHED_FIFO, lock memory, hold cpu_dma_latency at 0
 *   RT_CPU             the CPU every thread of CreateRtThread runs on ("any": Linux places
 *                      them; default with RT_SCHED=fifo the last CPU the process may use,
 *                      without it "any")
 *   RT_READY_FD        file descriptor that SynchronizeRtLoader writes "R" to, then closes
 */
#ifndef RT_H
#define RT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L)
#define RT_NODISCARD [[nodiscard]]
#else
#define RT_NODISCARD __attribute__((warn_unused_result))
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint8_t BOOLEAN;
typedef uint16_t RTHANDLE;
typedef void *LPVOID;
typedef void *LPPROC;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define NULL_RTHANDLE ((RTHANDLE)0)
#define BAD_RTHANDLE ((RTHANDLE)0xFFFF)

/* Time-outs (milliseconds unless said otherwise). */
#define NO_WAIT 0u
#define WAIT_FOREVER 0xFFFFFFFFu
#define WAIT_FAILED 0xFFFFFFFFu
#define KN_DONT_WAIT 0u
#define KN_WAIT_FOREVER 0xFFFFFFFFu

/* ---- status codes, kept per thread ---------------------------------------
 * 0x0000-0x00FF: environmental conditions; 0x8000-: programming errors. */
#define E_OK 0x0000
#define E_TIME 0x0001            /* time limit expired */
#define E_MEM 0x0002             /* not enough memory */
#define E_BUSY 0x0003            /* region held by another thread */
#define E_LIMIT 0x0004           /* a limit would be exceeded (count, ceiling, maximum, directory) */
#define E_CONTEXT 0x0005         /* out of context: duplicate or missing name, RslMain refused */
#define E_EXIST 0x0006           /* no such object, file or symbol */
#define E_STATE 0x0007           /* impossible state transition */
#define E_NOT_CONFIGURED 0x0008  /* call not supported in this configuration */
#define E_SLOT 0x000C            /* handle table full */
#define E_INVALID_ADDRESS 0x00E2 /* unknown location */
#define E_TYPE 0x8002            /* handle of the wrong object type */
#define E_PARAM 0x8004           /* bad parameter value */
#define E_BAD_ADDR 0x800F        /* bad pointer */

/* Any thread. The status of this thread's last failed call (16 bits). */
DWORD GetLastRtError(void);
/* Any thread. Stores the low 16 bits; 0 clears. */
void SetLastRtError(DWORD code);
/* Any thread. Name of a status code ("E_LIMIT"), "E_UNKNOWN" for others. */
const char *GetRtErrorText(DWORD code);

/* ---- loader -------------------------------------------------------------- */
#define RSL_PROCESS_DETACH 0
#define RSL_PROCESS_ATTACH 1
#define RSL_THREAD_ATTACH 2
#define RSL_THREAD_DETACH 3

/* The optional entry routine of a library: BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID). */
typedef BOOLEAN (*RSL_MAIN)(RTHANDLE module, DWORD reason, LPVOID reserved);

/* Any thread. A name holding '/' is used as given; otherwise searched in
 * RT_LIBRARY_PATH, the program's folder, then ../lib/rsl beside it. A library
 * whose file name is already loaded gives the same handle again (one attach per
 * process). RslMain(PROCESS_ATTACH) returning FALSE unloads the library and the
 * call fails. Returns 0 on failure: E_EXIST (not found), E_CONTEXT (RslMain
 * refused, or dlopen failed; the reason goes to standard error), E_PARAM. */
RT_NODISCARD RTHANDLE LoadRtLibrary(const char *name);
/* Any thread. The folders LoadRtLibrary searches, joined by ':' (valid in
 * the calling thread until its next call). */
const char *RtLibrarySearchPath(void);
/* Any thread. Drops one load; the last one calls RslMain(PROCESS_DETACH) and
 * unloads. E_EXIST, E_TYPE. */
BOOLEAN FreeRtLibrary(RTHANDLE module);
/* Any thread. Address of an exported function or variable, NULL on failure:
 * E_EXIST (no such symbol or module), E_TYPE, E_PARAM (ordinals are not
 * supported: a name pointer below 0x10000). */
LPPROC GetRtProcAddress(RTHANDLE module, const char *symbol);

/* ---- start-up and notifications ------------------------------------------ */
/* Any thread. Catalogs "R?END_INIT" in the process directory and tells a
 * launcher that passed RT_READY_FD. E_LIMIT when the directory is full. */
BOOLEAN SynchronizeRtLoader(void);

#define RT_SPONSOR_NOTIFICATIONS 0x01u
#define RT_DEPENDENT_NOTIFICATIONS 0x02u
#define RT_EXIT_NOTIFICATIONS 0x04u
#define RT_SYSTEM_NOTIFICATIONS 0x08u
#define RT_ALL_NOTIFICATIONS 0x0Fu

/* Notification types of this project: SIGTERM and SIGINT arrive as
 * TERMINATE (exit class), SIGHUP as KERNEL_STOPPING (system class). */
#define TERMINATE 255u
#define KERNEL_STOPPING 230u

typedef struct EVENTINFO {
    DWORD dwNotifyType;
    DWORD dwLocation;
    DWORD dwProcessId;
} EVENTINFO;

/* Any thread. Waits for a notification of a class in flags. A notification
 * that arrives while nobody waits is queued (not lost); each is delivered to
 * one waiter. Time-out in ms truncated to 10 ms ticks (0 = poll). E_TIME,
 * E_PARAM, E_BAD_ADDR. */
BOOLEAN RtNotifyEvent(DWORD flags, DWORD milliseconds, EVENTINFO *info);

/* ---- threads ------------------------------------------------------------- */
/* Priorities: 0 best, 254 worst usable, 255 refused. */
typedef void (*RT_THREAD_ENTRY)(LPVOID param);

/* Any thread. priority 0 = the process ceiling; a priority better than the
 * ceiling gives E_LIMIT, 255 E_PARAM; stack 0 E_PARAM (stacks below 64 KiB get
 * 64 KiB); entry NULL E_BAD_ADDR. Returns BAD_RTHANDLE on failure. */
RT_NODISCARD RTHANDLE CreateRtThread(BYTE priority, RT_THREAD_ENTRY entry, DWORD stack_size,
                                     LPVOID param);
/* Any thread. The INtime priority a thread was created with (the ceiling for
 * threads the layer did not create); 255 with E_EXIST/E_TYPE on failure. */
BYTE GetRtThreadPriority(RTHANDLE thread);
/* Any thread. TRUE on a thread CreateRtThread made: a cycle thread, which
 * must not block on files or allocate (the node log hands its lines on). */
BOOLEAN RtThreadIsRealtime(void);

/* ---- semaphores ----------------------------------------------------------
 * Counting, 16-bit, maximum enforced; waiters are served from the head of the
 * queue and a later small request never overtakes a blocked earlier one. */
#define FIFO_QUEUING 0u
#define PRIORITY_QUEUING 1u

/* Any thread. E_PARAM for init > max, max 0 or unknown flags. */
RT_NODISCARD RTHANDLE CreateRtSemaphore(WORD initial, WORD maximum, WORD flags);
/* Any thread. Takes count units; returns the units left, or WAIT_FAILED:
 * E_TIME, E_LIMIT (count > maximum), E_PARAM (time-out above 655349 ms and not
 * WAIT_FOREVER), E_EXIST, E_TYPE. count 0 returns the units available. Hot
 * path: no allocation. */
DWORD WaitForRtSemaphore(RTHANDLE semaphore, WORD count, DWORD milliseconds);
/* Any thread. A release that would pass the maximum fails with E_LIMIT and
 * adds nothing. E_EXIST, E_TYPE. Hot path: no allocation. */
BOOLEAN ReleaseRtSemaphore(RTHANDLE semaphore, WORD count);
/* Any thread. The threads queued on the semaphore now (0 for a handle that
 * is no semaphore): for tools and tests that wait until a waiter waits. */
WORD RtSemaphoreWaiters(RTHANDLE semaphore);

/* ---- time ---------------------------------------------------------------- */
/* All sleeps end on an absolute boundary of a tick grid on CLOCK_MONOTONIC. */
/* ms on the low-level tick (ceil); 0 returns at once; 0xFFFFFFFF: E_PARAM. */
BOOLEAN RtSleepEx(DWORD milliseconds);
/* ms on the 10 ms tick (truncated); below 10 only yields; above 655349: E_PARAM. */
BOOLEAN RtSleep(DWORD milliseconds);
/* n low-level ticks; KN_DONT_WAIT yields; KN_WAIT_FOREVER never returns. */
void knRtSleep(DWORD kernel_ticks);

#pragma pack(push, 1)
typedef struct SYSINFO {
    BYTE _reserved0[57];
    WORD NucleusTickInterval; /* 57: high-level tick in ms, always 10 */
    WORD KernelTickRatio;     /* 59: low-level ticks per high-level tick */
    BYTE _reserved61[3];
    BYTE MajorVersion;        /* 64 */
    BYTE MinorVersion;        /* 65 */
    WORD BuildNumber;         /* 66 */
    BYTE _reserved68[2];
    DWORD PentiumTicksPerUsec; /* 70: time-stamp counter rate in MHz */
    BYTE _reserved74[3];
    BYTE LogicalCPUId;        /* 77 */
    BYTE NodeType;            /* 78 */
    BYTE NumProcs;            /* 79 */
    BYTE _reserved80[176];
} SYSINFO;

typedef struct NODE_INFO {
    DWORD Location;       /* 0 */
    char szNodeName[64];  /* 4: NUL-terminated, at most 63 characters */
    BYTE NodeId;          /* 68 */
    BYTE NodeClass;       /* 69 */
    BYTE NodeSubclass;    /* 70 */
    BYTE NetIdType;       /* 71 */
    BYTE NetId[16];       /* 72 */
} NODE_INFO;
#pragma pack(pop)

/* Any thread. The time-stamp counter rate is calibrated on the first call of
 * the process and cached, so the call is cheap afterwards. E_BAD_ADDR. */
BOOLEAN CopyRtSystemInfo(SYSINFO *info);

/* Any thread. The counter whose rate CopyRtSystemInfo reports. */
static inline uint64_t RtTimeStampCounter(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_ia32_rdtsc();
#else
    extern uint64_t rtk_monotonic_ns(void);
    return rtk_monotonic_ns();
#endif
}

/* ---- processes, catalogs, node ------------------------------------------- */
#define THIS_THREAD 0
#define THIS_PROCESS 1
#define ROOT_PROCESS 3

/* Any thread. THIS_THREAD, THIS_PROCESS or ROOT_PROCESS; others NULL_RTHANDLE
 * with E_PARAM. */
RTHANDLE GetRtThreadHandles(BYTE selection);

/* Any thread. Process 0 = the calling process. The ceiling starts at 129 and
 * can only be raised (numerically lowered): a larger value gives E_LIMIT, 255
 * E_PARAM, another process E_CONTEXT. */
BOOLEAN SetRtProcessMaxPriority(RTHANDLE process, BYTE priority);

/* Any thread. Directory owner 0 or THIS_PROCESS's handle: the process's own
 * directory (3840 names); the ROOT_PROCESS handle: the node-wide directory,
 * seen by every process of the node (entries of processes that have ended are
 * dropped). Names are 1 to 12 bytes (E_PARAM), unique per directory
 * (E_CONTEXT); E_LIMIT when full; E_EXIST for an unknown handle. */
BOOLEAN CatalogRtHandle(RTHANDLE process, RTHANDLE object, const char *name);
/* Any thread. E_CONTEXT when the name is not there. */
BOOLEAN UncatalogRtHandle(RTHANDLE process, const char *name);
/* Any thread. The handle cataloged under name in the process's own directory,
 * waiting up to milliseconds for it. In the root directory the handle is only
 * meaningful in the process that cataloged it. BAD_RTHANDLE with E_TIME. */
RTHANDLE LookupRtHandle(RTHANDLE process, const char *name, DWORD milliseconds);

/* One entry of the node-wide directory, for tools. */
typedef struct RT_ROOT_ENTRY {
    char name[13];
    RTHANDLE object;  /* handle in the owner process */
    int32_t pid;      /* owner process */
} RT_ROOT_ENTRY;
/* Any thread. Copies up to max live entries; returns how many there are. */
DWORD EnumerateRtRootCatalog(RT_ROOT_ENTRY *entries, DWORD max);

/* Any thread. On the calling process (0 or THIS_PROCESS's handle): returns at
 * once; with force, the process ends with status 0 after milliseconds unless
 * it exits first. No notification is posted to its own waiters, so a
 * shutdown in progress is never run twice. Other processes: E_EXIST. */
BOOLEAN TerminateRtProcess(RTHANDLE process, BOOLEAN force, DWORD milliseconds);

#define THIS_LOCATION 0xFFFFFFFEu
#define RT_LOCAL_LOCATION 0x00000001u
/* Any thread. THIS_LOCATION or RT_LOCAL_LOCATION; others E_INVALID_ADDRESS;
 * info NULL E_BAD_ADDR. */
BOOLEAN GetRtNodeInfo(DWORD location, NODE_INFO *info);

/* Project extension: the node's runtime directory (RT_NODE_DIR, or the
 * default, which is created when missing, mode 0770), without a trailing '/'. Valid
 * for the life of the process. */
const char *RtNodeDirectory(void);
/* Project extension: why the node directory may not be used, empty when it
 * may. Without RT_NODE_DIR the default directory is refused unless it is a
 * real directory (not a link) owned by the calling user, with no write
 * access for other users. */
const char *RtNodeDirectoryError(void);
/* Project extension: opens a file of the node directory (a plain name) with
 * open(2) flags; never follows a symbolic link, creates with mode 0660 (less
 * the umask). -1 with errno EACCES when the node directory is refused. */
int RtOpenNodeFile(const char *name, int flags);
/* Project extension: arms the notification machinery now, so that SIGTERM,
 * SIGINT and SIGHUP are queued for RtNotifyEvent from this moment instead of
 * ending the process (a program calls it first thing in main). */
void RtArmNotifications(void);
/* Project extension: the node name (RT_NODE_NAME or the host name). */
const char *RtNodeName(void);
/* Project extension: when a process started (clock ticks since boot), 0 when
 * it does not exist or has ended and is only waiting to be reaped (a
 * zombie). A pid with another start time is another process. */
uint64_t RtProcessStartTime(int32_t pid);

#ifdef __cplusplus
}
#endif

#endif /* RT_H */
