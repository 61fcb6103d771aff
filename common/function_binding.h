/* function_binding.h - a library's functions bound by name into slots, the
 * way every driver and the container bind what they call: one table per
 * library of {name, slot, console line number, status code}, declared once,
 * and one loop. A driver's console line for a missing function is
 * "E$DRIVER[LINE] GetRtProcAddress( NAME ) failed. Status[CODE]", CODE being
 * the entry's code with the low 16 bits of GetLastRtError. Header-only. */
#ifndef FUNCTION_BINDING_H
#define FUNCTION_BINDING_H

#include "rt.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef struct FunctionBinding {
    RTHANDLE module;
    const char *name;
    void **slot;   /* receives the address, NULL when missing */
    int line;      /* number of the console line for a missing one */
    uint32_t code; /* its status, with the loader's error in the low 16 bits */
} FunctionBinding;

/* Binds every function of the table and returns the index of the first
 * one missing (count when none is). With a driver name (upper case, as the
 * console shows it), each missing one gets its console line. */
static inline size_t BindFunctions(const char *driver, const FunctionBinding *table, size_t count)
{
    size_t first_missing = count;
    for (size_t i = 0; i < count; ++i) {
        *table[i].slot = GetRtProcAddress(table[i].module, table[i].name);
        if (*table[i].slot != NULL)
            continue;
        if (first_missing == count)
            first_missing = i;
        if (driver != NULL)
            printf("E$%s[%05d] GetRtProcAddress( %s ) failed. Status[%08Xh]\n", driver, table[i].line, table[i].name,
                   table[i].code | (GetLastRtError() & 0xFFFFu));
    }
    return first_missing;
}

#ifdef __cplusplus
/* A typed function-pointer slot as the table's untyped one. */
template <typename Fn>
inline void **FunctionSlot(Fn &slot)
{
    return reinterpret_cast<void **>(&slot);
}
#endif

#endif /* FUNCTION_BINDING_H */
