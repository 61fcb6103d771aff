/* tiny_driver.c - the smallest driver: every read of a 4-byte point gives
 * how many reads there have been; writes are taken and dropped. */
#include "driver_api.h"
#include "kohgapi.h"

#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static uint32_t reads;

EXPORT uint32_t HiInit(const char *driver_name, uintptr_t *init_context, uint32_t timeout, uint32_t *api_status)
{
    (void)driver_name, (void)timeout;
    *init_context = 1;
    *api_status = 0;
    return HI_STATUS_OK;
}

EXPORT uint32_t HiOpen(uintptr_t init_context, uintptr_t *connection, uint32_t timeout, uint32_t *api_status)
{
    (void)timeout;
    *connection = init_context;
    *api_status = 0;
    return KoTagCount() > 0 ? HI_STATUS_OK : HI_STATUS_ERROR; /* the tag store is reachable */
}

EXPORT uint32_t HiClose(uintptr_t connection, uint32_t *api_status)
{
    (void)connection;
    *api_status = 0;
    return HI_STATUS_OK;
}

EXPORT uint32_t HiRead(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, void *buffer,
                       uint32_t unit, uint32_t timeout, uint32_t *api_status)
{
    (void)connection, (void)thread, (void)address, (void)unit, (void)timeout;
    uint32_t count = __atomic_add_fetch(&reads, 1, __ATOMIC_RELAXED);
    memcpy(buffer, &count, length < sizeof count ? length : sizeof count);
    *api_status = 0;
    return HI_STATUS_OK;
}

EXPORT uint32_t HiWrite(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, const void *buffer,
                        uint32_t timeout, uint32_t *api_status)
{
    (void)connection, (void)thread, (void)address, (void)length, (void)buffer, (void)timeout;
    *api_status = 0;
    return HI_STATUS_OK;
}
