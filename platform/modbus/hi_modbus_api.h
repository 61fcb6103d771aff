/* hi_modbus_api.h - the interface of the Modbus library "hiMODBUSapi.rsl" as
 * the Modbus driver calls it: the options record handed to its init, and the
 * five functions the driver binds by name. Every function returns 0 for
 * success, otherwise a code the driver passes on unchanged. */
#ifndef HI_MODBUS_API_H
#define HI_MODBUS_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODBUS_HOST_SIZE 16

#pragma pack(push, 1)
/* Read by byte offset; little-endian. Lives only during HiMODBUSInit: the
 * library copies what it keeps. */
typedef struct ModbusOptions {
    char host[MODBUS_HOST_SIZE]; /* 0: terminated device name, at most 14 characters */
    uint8_t is_master;           /* 16 */
    uint8_t reserved[3];         /* 17: zero */
    uint32_t timeout;            /* 20 */
} ModbusOptions;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(ModbusOptions) == 24, "ModbusOptions is 24 bytes");
static_assert(__builtin_offsetof(ModbusOptions, host) == 0, "ModbusOptions.host");
static_assert(__builtin_offsetof(ModbusOptions, is_master) == 16, "ModbusOptions.is_master");
static_assert(__builtin_offsetof(ModbusOptions, reserved) == 17, "ModbusOptions.reserved");
static_assert(__builtin_offsetof(ModbusOptions, timeout) == 20, "ModbusOptions.timeout");
#endif

typedef uint32_t (*HiMODBUSInitFn)(const ModbusOptions *options);
typedef uint32_t (*HiMODBUSOpenFn)(uintptr_t zero, uintptr_t *connection);
typedef uint32_t (*HiMODBUSCloseFn)(uintptr_t connection);
typedef uint32_t (*HiMODBUSReadFn)(uintptr_t connection, uint32_t address, uint32_t length, void *buffer,
                                   uint32_t unit, uint32_t timeout);
typedef uint32_t (*HiMODBUSWriteFn)(uintptr_t connection, uint32_t address, uint32_t length, const void *buffer,
                                    uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* HI_MODBUS_API_H */
