// fake_ecat.cpp - the stand-in EtherCAT libraries (see fake_ecat.h).
// FAKE_HIECAT builds Init..Write, FAKE_EHAPI builds EhWaitForCyclic;
// FAKE_WITHOUT_<name> leaves that function out.
#include "fake_ecat.h"

#include <cstdio>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FakeEcat fake;

[[maybe_unused]] void keep(char *out, size_t size, const char *options)
{
    std::snprintf(out, size, "%s", options != nullptr ? options : "(null)");
}

}  // namespace

EXPORT FakeEcat *FakeEcatState()
{
    return &fake;
}

#if defined(FAKE_HIECAT) && !defined(FAKE_WITHOUT_Init)
EXPORT uint32_t Init(const char *driver_name, const char *options, uintptr_t *init_context, uint32_t timeout)
{
    ++fake.calls[kInit];
    keep(fake.init_options, sizeof fake.init_options, options);
    fake.driver_name = driver_name;
    fake.timeout = timeout;
    *init_context = fake.next_init_context;
    return fake.answer;
}
#endif

#if defined(FAKE_HIECAT) && !defined(FAKE_WITHOUT_Open)
EXPORT uint32_t Open(uintptr_t init_context, const char *options, uintptr_t *connection, uint32_t timeout)
{
    ++fake.calls[kOpen];
    keep(fake.open_options, sizeof fake.open_options, options);
    fake.init_context = init_context;
    fake.timeout = timeout;
    *connection = fake.next_connection;
    return fake.answer;
}
#endif

#if defined(FAKE_HIECAT) && !defined(FAKE_WITHOUT_Close)
EXPORT uint32_t Close(uintptr_t connection)
{
    ++fake.calls[kClose];
    fake.connection = connection;
    return fake.answer;
}
#endif

#if defined(FAKE_HIECAT) && !defined(FAKE_WITHOUT_Read)
EXPORT uint32_t Read(uintptr_t connection, uint32_t address, void *buffer, uint32_t length, uint32_t unit,
                     uint32_t timeout)
{
    ++fake.calls[kRead];
    fake.connection = connection;
    fake.address = address;
    fake.buffer = buffer;
    fake.length = length;
    fake.unit = unit;
    fake.timeout = timeout;
    if (address == 0x20400 && length == 4)
        std::memcpy(buffer, &fake.state_word, 4);
    return fake.answer;
}
#endif

#if defined(FAKE_HIECAT) && !defined(FAKE_WITHOUT_Write)
EXPORT uint32_t Write(uintptr_t connection, uint32_t address, const void *buffer, uint32_t length, uint32_t timeout)
{
    ++fake.calls[kWrite];
    fake.connection = connection;
    fake.address = address;
    fake.buffer = buffer;
    fake.length = length;
    fake.timeout = timeout;
    return fake.answer;
}
#endif

#if defined(FAKE_EHAPI) && !defined(FAKE_WITHOUT_EhWaitForCyclic)
EXPORT uint32_t EhWaitForCyclic(uint32_t handle, uint32_t timeout)
{
    ++fake.calls[kWait];
    fake.wait_handle = handle;
    fake.wait_timeout = timeout;
    return fake.answer;
}
#endif
