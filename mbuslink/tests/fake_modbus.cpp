// fake_modbus.cpp - the stand-in Modbus library of the driver's tests. Built
// whole, and without HiMODBUSRead (FAKE_NO_READ).
#include "fake_modbus.h"

#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
FakeModbus state;
}

EXPORT FakeModbus *FakeModbusState()
{
    return &state;
}

EXPORT uint32_t HiMODBUSInit(const ModbusOptions *options)
{
    ++state.calls[kInit];
    std::memcpy(&state.options, options, sizeof state.options);
    return state.answer;
}

EXPORT uint32_t HiMODBUSOpen(uintptr_t zero, uintptr_t *connection)
{
    ++state.calls[kOpen];
    state.open_zero = zero;
    *connection = state.next_connection;
    return state.answer;
}

EXPORT uint32_t HiMODBUSClose(uintptr_t connection)
{
    ++state.calls[kClose];
    state.connection = connection;
    return state.answer;
}

#ifndef FAKE_NO_READ
EXPORT uint32_t HiMODBUSRead(uintptr_t connection, uint32_t address, uint32_t length, void *buffer, uint32_t unit,
                             uint32_t timeout)
{
    ++state.calls[kRead];
    state.connection = connection;
    state.address = address;
    state.length = length;
    state.buffer = buffer;
    state.unit = unit;
    state.timeout = timeout;
    return state.answer;
}
#endif

EXPORT uint32_t HiMODBUSWrite(uintptr_t connection, uint32_t address, uint32_t length, const void *buffer,
                              uint32_t timeout)
{
    ++state.calls[kWrite];
    state.connection = connection;
    state.address = address;
    state.length = length;
    state.buffer = buffer;
    state.timeout = timeout;
    return state.answer;
}
