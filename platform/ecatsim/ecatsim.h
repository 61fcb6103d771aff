/* ecatsim.h - the simulated EtherCAT master's two libraries as their callers
 * see them: "hiecat.rsl" (Init, Open, Close, Read, Write: the process data of
 * one connection) and "ehapi.rsl" (the master interface: node status, slave
 * search, direct process images, state, cycle wait). One master runs per
 * process; both libraries reach the same one.
 *
 * Addresses of Read and Write:
 *   0x00000 + n   Read: byte n of the input image;  Write: byte n of the output image
 *   0x10000 + n   Read: byte n of the output image (what was written)
 *   0x20000 ...   Read: the master registers below; they cannot be written
 * A range that does not lie wholly inside one area is refused with
 * ECATSIM_E_ADDRESS and nothing is moved.
 */
#ifndef ECATSIM_H
#define ECATSIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ECATSIM_OUTPUT_READBACK 0x10000u
#define ECATSIM_REGISTERS 0x20000u

/* Master registers (little-endian). */
#define ECATSIM_REG_STATE 0x20000u       /* u16 master state: 1 init, 2 pre-op, 4 safe-op, 8 operational */
#define ECATSIM_REG_CYCLES 0x20004u      /* u32 completed cycles */
#define ECATSIM_REG_LOST 0x20008u        /* u32 cycles lost to late wake-ups and slow cycles */
#define ECATSIM_REG_PERIOD_US 0x2000Cu   /* u32 cycle period */
#define ECATSIM_REG_STATE_WORD 0x20400u  /* u32 connection state word */
#define ECATSIM_REG_END 0x20404u

/* Bits of the connection state word. */
#define ECATSIM_LINK_RUNNING 0x01u  /* the cycle thread runs */
#define ECATSIM_LINK_NOT_OP 0x02u   /* the master is below operational */
#define ECATSIM_LINK_LOST 0x08u     /* no link: no cycle passes */

#define ECATSIM_STATE_INIT 1u
#define ECATSIM_STATE_PREOP 2u
#define ECATSIM_STATE_SAFEOP 4u
#define ECATSIM_STATE_OP 8u

/* hiecat.rsl codes. Below 0x20000000 the condition may pass by itself
 * (the driver then reconnects); at and above it the call was wrong. */
#define ECATSIM_OK 0u
#define ECATSIM_E_LINK_DOWN 0x00000008u    /* open while the link is lost */
#define ECATSIM_E_ESM_TIMEOUT 0x00000101u  /* WAIT_ESM: not operational within the timeout */
#define ECATSIM_E_ADDRESS 0x20000001u      /* address or length outside every area */
#define ECATSIM_E_NOT_OPEN 0x20000002u     /* not a connection of Open, or closed */
#define ECATSIM_E_READ_ONLY 0x20000003u    /* write to the read-back area or the registers */
#define ECATSIM_E_MASTER 0x20000004u       /* node_name names no EtherCAT master of the node config */
#define ECATSIM_E_BUS_FILE 0x20000005u     /* the bus file cannot be read; the node log says why */
#define ECATSIM_E_OPTION 0x20000006u       /* an option this library does not know */
#define ECATSIM_E_NOT_INIT 0x20000007u     /* init_context not from Init */
#define ECATSIM_E_OTHER_BUS 0x20000008u    /* this process already runs another bus */
#define ECATSIM_E_START 0x20000009u        /* the cycle thread cannot be started */

/* ehapi.rsl statuses (16 bits). */
#define EH_OK 0u
#define EH_E_NO_MASTER 0x0001u      /* no master of that name runs in this process */
#define EH_E_HANDLE 0x0002u         /* not a handle of EhOpen or Open */
#define EH_E_NOT_FOUND 0x0003u      /* EhFindSlave: no such terminal */
#define EH_E_RECORD 0x0004u         /* EhFindSlave: size is not 88 */
#define EH_E_CANCELLED 0x0005u      /* EhWaitForCyclic cancelled */
#define EH_E_TIMEOUT 0x0006u        /* EhWaitForCyclic: no cycle within the time */
#define EH_E_NOT_SUPPORTED 0x0007u  /* object dictionary access */

#define EH_WAIT_FOREVER 0xFFFFFFFFu

/* Text of a code of either library ("ECATSIM_E_ADDRESS: ..."). */
const char *EcatSimStatusText(uint32_t code);

#pragma pack(push, 1)
/* The slave search record. In: size, index, vendor, product_code. Out: the
 * rest. */
typedef struct EhSlaveSearch {
    uint32_t size;          /* 0: 88 */
    char name[28];          /* 4: the terminal's name in the bus file */
    uint32_t index;         /* 32: 0 for the first terminal of that identity, 1 the second, ... */
    uint32_t vendor;        /* 36 */
    uint32_t product_code;  /* 40 */
    uint32_t revision;      /* 44 */
    uint8_t reserved[16];   /* 48 */
    uint32_t in_offset;     /* 64: in the master's input image */
    uint32_t in_size;       /* 68 */
    uint32_t out_offset;    /* 72: in the master's output image */
    uint32_t out_size;      /* 76 */
    uint32_t station;       /* 80: station address, 1001 for the first terminal */
    uint32_t slave_index;   /* 84: position on the bus, from 0 */
} EhSlaveSearch;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(EhSlaveSearch) == 88, "the search record is 88 bytes");
static_assert(__builtin_offsetof(EhSlaveSearch, index) == 32, "index at 32");
static_assert(__builtin_offsetof(EhSlaveSearch, vendor) == 36, "vendor at 36");
static_assert(__builtin_offsetof(EhSlaveSearch, product_code) == 40, "product code at 40");
static_assert(__builtin_offsetof(EhSlaveSearch, in_offset) == 64, "in offset at 64");
static_assert(__builtin_offsetof(EhSlaveSearch, in_size) == 68, "in size at 68");
static_assert(__builtin_offsetof(EhSlaveSearch, out_offset) == 72, "out offset at 72");
static_assert(__builtin_offsetof(EhSlaveSearch, out_size) == 76, "out size at 76");
static_assert(__builtin_offsetof(EhSlaveSearch, slave_index) == 84, "slave index at 84");
#endif

/* ---- hiecat.rsl ---------------------------------------------------------
 * Init options: "node_name=NAME" picks the bus: an [[ethercat]] master of the
 * node config, whose bus file is then read; without it the built-in default
 * bus runs. Init starts the master (once per process); init_context receives it.
 * Open options: "WAIT_ESM" waits, at most timeout ms, until the master is
 * operational. Open asks for the operational state in any case; connection
 * receives an object whose second 32-bit word is the ehapi handle. */
typedef uint32_t (*EcatInitFn)(const char *driver_name, const char *options, uintptr_t *init_context,
                               uint32_t timeout);
typedef uint32_t (*EcatOpenFn)(uintptr_t init_context, const char *options, uintptr_t *connection,
                               uint32_t timeout);
typedef uint32_t (*EcatCloseFn)(uintptr_t connection);
typedef uint32_t (*EcatReadFn)(uintptr_t connection, uint32_t address, void *buffer, uint32_t length,
                               uint32_t unit, uint32_t timeout);
typedef uint32_t (*EcatWriteFn)(uintptr_t connection, uint32_t address, const void *buffer, uint32_t length,
                                uint32_t timeout);

/* ---- ehapi.rsl ----------------------------------------------------------
 * node_name: the running master's bus name, the node's name, or empty. */
typedef uint32_t (*EhGetEhNodeStatusFn)(const char *node_name, uint32_t timeout);
/* Returns a handle (0 on failure, with *status saying why). */
typedef uint32_t (*EhOpenFn)(const char *node_name, uint32_t *status);
typedef uint32_t (*EhCloseFn)(uint32_t handle);
typedef uint32_t (*EhFindSlaveFn)(uint32_t handle, EhSlaveSearch *search);
/* The images themselves: the memory Read and Write use. */
typedef uint32_t (*EhGetViosInAddressFn)(uint32_t handle, uintptr_t *base, uint32_t *size);
typedef uint32_t (*EhGetViosOutAddressFn)(uint32_t handle, uintptr_t *base, uint32_t *size);
/* *state: the master state; *reserved: 0. */
typedef uint32_t (*EhGetStateFn)(uint32_t handle, uint16_t *reserved, uint16_t *state);
typedef uint32_t (*EhReadODFn)(uint32_t handle, uint32_t slave, uint16_t index, uint8_t subindex, void *buffer,
                               uint32_t length);
typedef uint32_t (*EhWriteODFn)(uint32_t handle, uint32_t slave, uint16_t index, uint8_t subindex,
                                const void *buffer, uint32_t length);
/* Returns once the next cycle has completed (EH_OK), when the time (ms,
 * EH_WAIT_FOREVER: none) has passed (EH_E_TIMEOUT), or when another thread
 * cancelled this thread's wait (EH_E_CANCELLED). */
typedef uint32_t (*EhWaitForCyclicFn)(uint32_t handle, uint32_t timeout);
/* Releases the wait that thread (a kernel thread handle) is in now; a
 * thread that is not waiting is not affected. */
typedef uint32_t (*EhCancelWaitForCyclicFn)(uint32_t handle, uint16_t thread);

#ifdef __cplusplus
}
#endif

#endif /* ECATSIM_H */
