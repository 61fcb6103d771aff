// process.cpp - the life of the process as the loader sees it: the end of
// initialisation (SynchronizeRtLoader) and self-termination.
#include "kernel_internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace rtk;

extern "C" BOOLEAN SynchronizeRtLoader(void)
{
    arm_process();
    if (!CatalogRtHandle(NULL_RTHANDLE, NULL_RTHANDLE, "R?END_INIT") && GetLastRtError() == E_LIMIT)
        return FALSE;
    static std::once_flag once;
    std::call_once(once, [] {
        int fd = settings().ready_fd;
        if (fd >= 0) {
            // A launcher that is gone only makes the write fail; start-up goes on.
            [[maybe_unused]] ssize_t n = write(fd, "R", 1);
            close(fd);
        }
    });
    return TRUE;
}

extern "C" BOOLEAN TerminateRtProcess(RTHANDLE process, BOOLEAN force, DWORD milliseconds)
{
    if (!is_this_process(process))
        return fail(find_object(process) == nullptr ? E_EXIST : E_TYPE, BOOLEAN{FALSE});
    if (!force)
        return TRUE;  // nothing listens for our own notification: see rt.h
    static std::once_flag once;
    std::call_once(once, [milliseconds] {
        std::thread([milliseconds] {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            std::fflush(nullptr);  // console lines printed before the end must reach a pipe
            std::_Exit(0);
        }).detach();
    });
    return TRUE;
}
