// rtk_probe - a second process of the node for the kernel-layer tests.
//   rtk_probe notify           print "ready", wait in RtNotifyEvent, print "type N"
//   rtk_probe ready            SynchronizeRtLoader (tells RT_READY_FD)
//   rtk_probe terminate MS     TerminateRtProcess(0, 1, MS), print "returned", wait
//   rtk_probe catalog NAME     catalog NAME in the root directory, print
//                              "cataloged", exit when standard input closes
#include "rt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *command = argv[1];
    if (std::strcmp(command, "notify") == 0) {
        EVENTINFO info{};
        (void)RtNotifyEvent(RT_ALL_NOTIFICATIONS, NO_WAIT, &info);  // arms the handlers
        std::printf("ready\n");
        std::fflush(stdout);
        if (!RtNotifyEvent(RT_ALL_NOTIFICATIONS, WAIT_FOREVER, &info))
            return 1;
        std::printf("type %u\n", info.dwNotifyType);
        return 0;
    }
    if (std::strcmp(command, "ready") == 0)
        return SynchronizeRtLoader() ? 0 : 1;
    if (std::strcmp(command, "terminate") == 0 && argc == 3) {
        if (!TerminateRtProcess(NULL_RTHANDLE, TRUE, static_cast<DWORD>(std::atoi(argv[2]))))
            return 1;
        std::printf("returned\n");  // left in the buffer: the end must flush it
        for (;;)
            pause();
    }
    if (std::strcmp(command, "catalog") == 0 && argc == 3) {
        if (!CatalogRtHandle(GetRtThreadHandles(ROOT_PROCESS), GetRtThreadHandles(THIS_PROCESS), argv[2]))
            return 1;
        std::printf("cataloged\n");
        std::fflush(stdout);
        char c;
        while (read(0, &c, 1) > 0) {
        }
        return 0;
    }
    return 2;
}
