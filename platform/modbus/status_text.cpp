// status_text.cpp - HiMODBUSStatusText: every status code of the Modbus
// library in words, for logs, consoles and ko.
#include "modbus_status.h"

#include <cstdint>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT const char *HiMODBUSStatusText(uint32_t status)
{
    static const char *const kExceptions[] = {
        nullptr,
        "Modbus exception 1, illegal function: the device does not support this request",
        "Modbus exception 2, illegal data address: the device has no such address",
        "Modbus exception 3, illegal data value: the device refuses this value or count",
        "Modbus exception 4, device failure",
        "Modbus exception 5, acknowledge: the device needs long to answer",
        "Modbus exception 6, device busy",
        "Modbus exception 7, negative acknowledge",
        "Modbus exception 8, memory parity error",
        "Modbus exception 9",
        "Modbus exception 10, gateway path unavailable",
        "Modbus exception 11, gateway target device failed to respond",
    };
    if (((status & ~0xFFu) == MB_E_EXCEPTION_BASE && (status & 0xFF) >= 1 && (status & 0xFF) <= 3) ||
        ((status & ~0xFFu) == MB_E_EXCEPTION_BUSY_BASE && (status & 0xFF) >= 4 && (status & 0xFF) <= 11))
        return kExceptions[status & 0xFF];
    switch (status) {
    case MB_OK: return "success";
    case MB_E_TIMEOUT: return "no answer within the response timeout";
    case MB_E_RESET: return "connection reset by the device";
    case MB_E_REFUSED: return "connection refused";
    case MB_E_BROKEN_PIPE: return "the connection was cut while sending";
    case MB_E_CRC: return "CRC error on the serial line";
    case MB_E_TRANSPORT: return "transport failure";
    case MB_E_REPLY: return "a reply that does not answer the request (another unit, transaction or function)";
    case MB_E_ADDRESS: return "not an address of the 6-digit convention, or past the end of its table";
    case MB_E_LENGTH: return "length 0";
    case MB_E_NOT_OPEN: return "the connection is not open";
    case MB_E_DEVICE:
        return "host names no device: \"local\", an IPv4 address with an optional :port, or a [[modbus]] device of "
               "the node config (whose serial line must open)";
    case MB_E_IS_MASTER: return "is_master must be 0 or 1";
    case MB_E_READ_ONLY: return "discrete inputs and input registers cannot be written";
    case MB_E_HOST:
        return "no device address: empty, or too long for the host field - name the device in the node config";
    case MB_E_NOT_INIT: return "open before init";
    case MB_E_FULL: return "every connection slot is in use";
    default: return "unknown status";
    }
}
