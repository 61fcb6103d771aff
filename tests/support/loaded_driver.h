// loaded_driver.h - a driver library loaded as iohost loads it, for the
// drivers' tests: what it printed while it attached, and its entry points.
#pragma once

#include "driver_api.h"
#include "rt.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace testnode {

template <typename Fn>
Fn rsl_entry(RTHANDLE module, const char *name)
{
    return reinterpret_cast<Fn>(GetRtProcAddress(module, name));
}

struct LoadedDriver {
    RTHANDLE module = 0;  // 0 when the load failed
    std::string console;  // what the library printed while it attached
    HiInitFn init = nullptr;
    HiOpenFn open = nullptr;
    HiCloseFn close = nullptr;
    HiReadFn read = nullptr;
    HiWriteFn write = nullptr;
    HiReConnectFn reconnect = nullptr;
    HiConnectChkFn connect_chk = nullptr;
    HiWaitFn wait = nullptr;
};

inline LoadedDriver load_driver(const char *path)
{
    LoadedDriver d;
    testing::internal::CaptureStdout();
    d.module = LoadRtLibrary(path);
    std::fflush(stdout);
    d.console = testing::internal::GetCapturedStdout();
    if (d.module == 0)
        return d;
    d.init = rsl_entry<HiInitFn>(d.module, "HiInit");
    d.open = rsl_entry<HiOpenFn>(d.module, "HiOpen");
    d.close = rsl_entry<HiCloseFn>(d.module, "HiClose");
    d.read = rsl_entry<HiReadFn>(d.module, "HiRead");
    d.write = rsl_entry<HiWriteFn>(d.module, "HiWrite");
    d.reconnect = rsl_entry<HiReConnectFn>(d.module, "HiReConnect");
    d.connect_chk = rsl_entry<HiConnectChkFn>(d.module, "HiConnectChk");
    d.wait = rsl_entry<HiWaitFn>(d.module, "HiWait");
    return d;
}

}  // namespace testnode
