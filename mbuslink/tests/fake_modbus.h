// fake_modbus.h - a stand-in "hiMODBUSapi.rsl" for the driver's tests: it
// records each call and answers the status the test sets. FakeModbusState()
// gives the test its record.
#pragma once

#include "hi_modbus_api.h"

#include <cstdint>

struct FakeModbus {
    uint32_t answer;  // status every function returns
    uint32_t calls[5];  // init, open, close, read, write
    ModbusOptions options;  // copied by init
    uintptr_t open_zero;
    uintptr_t next_connection;  // what open writes
    uintptr_t connection;       // last one close, read or write got
    uint32_t address, length, unit, timeout;
    const void *buffer;
};

enum FakeCall { kInit, kOpen, kClose, kRead, kWrite };

using FakeModbusStateFn = FakeModbus *(*)();
