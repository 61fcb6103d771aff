// fake_ecat.h - a stand-in for both EtherCAT libraries, built as hiecat.rsl
// and as ehapi.rsl (each in build variants that leave one function out):
// every call is recorded and answers what the test set.
#pragma once

#include <cstdint>

enum FakeCall { kInit, kOpen, kClose, kRead, kWrite, kWait, kCallCount };

struct FakeEcat {
    uint32_t answer;      // every call's result
    uint32_t state_word;  // what a Read of 4 bytes at 0x20400 fills in
    uint32_t calls[kCallCount];
    char init_options[600];  // "(null)" for a null option string
    char open_options[64];
    const char *driver_name;
    uintptr_t init_context;  // Open's first argument
    uintptr_t connection;    // the last Close/Read/Write connection
    uint32_t address, length, unit, timeout;
    const void *buffer;
    uint32_t wait_handle, wait_timeout;
    uintptr_t next_init_context;  // what Init writes
    uintptr_t next_connection;    // what Open writes
};

using FakeEcatStateFn = FakeEcat *(*)();
