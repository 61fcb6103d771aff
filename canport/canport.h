/* canport.h - CAN frames for applications, through the EL6751 gateways that
 * the CAN gateway driver serves (the service named "ECAT"). Load
 * "canport.rsl" with LoadRtLibrary and bind the calls with CanPortBind, or
 * look them up by name.
 *
 * Channels are the gateways in the order the driver found them, from 0.
 * The first call of a process (and every call until the driver has
 * published its channels) looks the channel tags up once.
 *
 * Results common to the channel calls:
 *   -1  the channels are not available yet (the driver has not published
 *       them, or another thread is looking them up right now): try again
 *   -2  no such channel (below 0, or not below the channel count)
 *   -3  a tag library call failed
 */
#ifndef CANPORT_H
#define CANPORT_H

#include <stdint.h>

#include "rt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Takes the oldest received frame of channel into the out-arguments that
 * are not NULL (identifier bits 0-28, the extended and RTR flags as 0/1,
 * the length, all 8 data bytes) and removes it. With every out-argument
 * NULL nothing is removed. Result: the number of frames that were waiting
 * (0: none, the out-arguments untouched), or -1, -2, -3.
 * Threads: one reading thread per channel at a time (a read is a copy and
 * a removal; two readers could receive the same frame). */
int32_t CAN_Read(int32_t channel, uint32_t *id, uint8_t *extended, uint8_t *rtr, uint32_t *length, uint8_t *data);

/* As CAN_Read, but when no frame is waiting it sleeps until one arrives or
 * timeout_ms has passed (0: do not wait; negative: no limit); a frame that
 * is already there is taken without a system call. Result as CAN_Read: 0
 * when the time ran out (or a signal handler interrupted the wait).
 * Threads: as CAN_Read. */
int32_t CAN_ReadWait(int32_t channel, uint32_t *id, uint8_t *extended, uint8_t *rtr, uint32_t *length, uint8_t *data,
                     int32_t timeout_ms);

/* Queues one frame: the low 29 bits of id and 8 data bytes read from data
 * whatever the length (data may be NULL only with length 0: the frame then
 * carries zero bytes). Result: the frames in the channel's send queue after
 * the call, this one included (1 to 1024: queued), or
 *   -1, -2, -3  as above
 *   -4  length below 0 or above 8
 *   -5  rtr non-zero with a length other than 0
 *   -6  data NULL with a length above 0
 *   -7  the send queue is full: the frame was not queued (counted in the
 *       channel's TxLost tag; the driver raises the Tx overrun flag)
 *   -8  the channel's gateway carries standard frames only and the frame
 *       needs an extended identifier (the extended flag, or an identifier
 *       above 0x7FF): it is refused rather than sent under another one
 * Threads: any number at once. */
int32_t CAN_Write(int32_t channel, uint32_t id, uint8_t extended, uint8_t rtr, int32_t length, const uint8_t *data);

/* The gateway's 7 device-state bytes into state. Result: 0 (also with state
 * NULL, which reads nothing), a tag library code, or -1, -2. Any thread. */
int32_t CAN_GetDeviceState(int32_t channel, uint8_t *state);

/* The Tx and Rx overrun flags (1: the FIFO was found full since it was last
 * empty) into the arguments that are not NULL. Result: 0, the OR of the tag
 * library codes, or -1, -2. Any thread. */
int32_t CAN_GetOverrunState(int32_t channel, uint8_t *tx_overrun, uint8_t *rx_overrun);

/* The driver's Run and Error flags and the channel count into the arguments
 * that are not NULL. Result: 0, the OR of the tag library codes, or -1.
 * Any thread. */
int32_t CAN_GetDriverState(uint8_t *run, uint8_t *error, int32_t *channels);

/* Asks the service "ECAT" to run (control code 102). Result: 0, or the
 * failing mailbox call's code. Needs no channels. Any thread. */
int32_t CAN_ManualStart(void);

typedef int32_t (*CAN_ReadFn)(int32_t, uint32_t *, uint8_t *, uint8_t *, uint32_t *, uint8_t *);
typedef int32_t (*CAN_ReadWaitFn)(int32_t, uint32_t *, uint8_t *, uint8_t *, uint32_t *, uint8_t *, int32_t);
typedef int32_t (*CAN_WriteFn)(int32_t, uint32_t, uint8_t, uint8_t, int32_t, const uint8_t *);
typedef int32_t (*CAN_GetDeviceStateFn)(int32_t, uint8_t *);
typedef int32_t (*CAN_GetOverrunStateFn)(int32_t, uint8_t *, uint8_t *);
typedef int32_t (*CAN_GetDriverStateFn)(uint8_t *, uint8_t *, int32_t *);
typedef int32_t (*CAN_ManualStartFn)(void);

typedef struct CanPortApi {
    CAN_ReadFn read;
    CAN_WriteFn write;
    CAN_GetDeviceStateFn get_device_state;
    CAN_GetOverrunStateFn get_overrun_state;
    CAN_GetDriverStateFn get_driver_state;
    CAN_ManualStartFn manual_start;
    CAN_ReadWaitFn read_wait;
} CanPortApi;

/* Loads canport.rsl and binds the seven calls; 0 on success, -1 when the
 * library or one of its calls is missing. */
static inline int CanPortBind(CanPortApi *api)
{
    RTHANDLE module = LoadRtLibrary("canport.rsl");
    if (module == 0)
        return -1;
    api->read = (CAN_ReadFn)GetRtProcAddress(module, "CAN_Read");
    api->write = (CAN_WriteFn)GetRtProcAddress(module, "CAN_Write");
    api->get_device_state = (CAN_GetDeviceStateFn)GetRtProcAddress(module, "CAN_GetDeviceState");
    api->get_overrun_state = (CAN_GetOverrunStateFn)GetRtProcAddress(module, "CAN_GetOverrunState");
    api->get_driver_state = (CAN_GetDriverStateFn)GetRtProcAddress(module, "CAN_GetDriverState");
    api->manual_start = (CAN_ManualStartFn)GetRtProcAddress(module, "CAN_ManualStart");
    api->read_wait = (CAN_ReadWaitFn)GetRtProcAddress(module, "CAN_ReadWait");
    return api->read && api->write && api->get_device_state && api->get_overrun_state && api->get_driver_state &&
                   api->manual_start && api->read_wait
               ? 0
               : -1;
}

#ifdef __cplusplus
}
#endif

#endif /* CANPORT_H */
