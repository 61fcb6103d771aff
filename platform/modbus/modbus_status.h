/* modbus_status.h - the status codes of "hiMODBUSapi.rsl". Misuse (the
 * request can never succeed as asked) is at or above 0xFF10, so the driver
 * maps it to an error; transient failures are below, so the container's
 * reconnection recovers them. A code that comes from a Modbus exception keeps
 * the exception number in its low byte. HiMODBUSStatusText names each. */
#ifndef MODBUS_STATUS_H
#define MODBUS_STATUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MB_OK 0x0000u
/* Transient. */
#define MB_E_EXCEPTION_BUSY_BASE 0x0100u /* | exception 4..11: device failure, busy, gateway... */
#define MB_E_TIMEOUT 0x0201u             /* no answer within the response timeout */
#define MB_E_RESET 0x0202u               /* connection reset by the device */
#define MB_E_REFUSED 0x0203u             /* connection refused */
#define MB_E_BROKEN_PIPE 0x0204u         /* the connection was cut while sending */
#define MB_E_CRC 0x0205u                 /* CRC error on a serial line */
#define MB_E_TRANSPORT 0x0206u           /* any other transport failure */
#define MB_E_REPLY 0x0207u               /* a reply that does not answer the request (unit, transaction, function) */
/* Misuse. */
#define MB_E_EXCEPTION_BASE 0x00010000u  /* | exception 1..3: illegal function, data address, data value */
#define MB_E_ADDRESS 0x00010010u         /* not an address of the 6-digit convention, or past the table */
#define MB_E_LENGTH 0x00010011u          /* length 0 */
#define MB_E_NOT_OPEN 0x00010012u        /* no such connection, or closed */
#define MB_E_DEVICE 0x00010013u          /* host names no device */
#define MB_E_IS_MASTER 0x00010014u       /* is_master is neither 0 nor 1 */
#define MB_E_READ_ONLY 0x00010015u       /* write to discrete inputs or input registers */
#define MB_E_HOST 0x00010016u            /* host empty: too long for the host field */
#define MB_E_NOT_INIT 0x00010017u        /* open before init */
#define MB_E_FULL 0x00010019u            /* every connection slot is in use */

const char *HiMODBUSStatusText(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* MODBUS_STATUS_H */
