// test_driver.h - the test driver's call record and tag names, shared by the
// driver (a real .rsl loaded by iohost) and the tests that steer it through
// tags of the node.
//
// Steering tags (all optional; a missing tag means the default):
//   TESTDRV.<Entry>.Status     status the entry point returns (default 0)
//   TESTDRV.<Entry>.Api        api_status it reports (default 0)
//   TESTDRV.<Entry>.FailAddress  HiRead/HiWrite: only this address fails
//   TESTDRV.HiInit.DelayMs     HiInit sleeps this long (a slow set-up)
//   TESTDRV.ConnectChk.Result  what HiConnectChk returns (default 1)
//   TESTDRV.ConnectChk.Code    the code it reports
//   TESTDRV.Wait.Ms            how long HiWait waits (default 1)
// Kept by the driver:
//   TESTDRV.<Entry>.Count      calls received
//   TESTDRV.Memory             the device memory, 1024 bytes, by address
//   TESTDRV.Calls              FIFO of TestCall records, every call in order
//   TESTDRV.Catalog.<name>     1 when HiOpen found the name in the process catalog
#pragma once

#include <cstdint>

namespace testdriver {

enum Entry : uint16_t { HiInit = 1, HiOpen, HiClose, HiRead, HiWrite, HiReConnect, HiConnectChk, HiWait };

#pragma pack(push, 1)
struct TestCall {
    uint16_t entry;
    uint16_t thread;
    uint32_t address;
    uint32_t length;
    uint32_t unit;
    uint32_t timeout;
    uint32_t status;
    uint64_t handle;  // init_context or connection as the driver received it
    uint8_t data[8];  // HiRead: bytes returned; HiWrite: bytes written
    char text[24];    // HiInit: the driver name
};
#pragma pack(pop)
static_assert(sizeof(TestCall) == 64);

constexpr uint32_t kMemorySize = 1024;
constexpr uintptr_t kInitContext = 0x1234;
constexpr uintptr_t kFirstConnection = 0x5000;
constexpr const char *kCatalogNames[] = {"InServ00", "InServ0a", "InServ1f", "OutServ00",
                                        "OutServ1f", "AutoCycle", "ConChk"};

}  // namespace testdriver
