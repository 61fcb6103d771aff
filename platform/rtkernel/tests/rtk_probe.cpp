// rtk_probe - a second process of the node for the kernel-layer tests.
//   rtk_probe notify           print "ready", wait in RtNotifyEvent, print "type N"
//   rtk_probe ready            SynchronizeRtLoader (tells RT_READY_FD)
//   rtk_probe terminate MS     TerminateRtProcess(0, 1, MS), print "returned", wait
//   rtk_probe catalog NAME     catalog NAME in the root directory, print
//                              "cataloged", exit when standard input closes
//   rtk_probe placement        print "cpus N M ..." (the CPUs a thread of
//                              CreateRtThread may run on) and "process P" (how
//                              many the process may use)
#include "rt.h"

#include <atomic>
#include <cstdio>
#include <sched.h>
#include <string>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

std::string cpus_of(pid_t thread)
{
    cpu_set_t set;
    if (sched_getaffinity(thread, sizeof set, &set) != 0)
        return "?";
    std::string list;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            list += " " + std::to_string(cpu);
    return list;
}

std::atomic<int> placed{0};
std::string thread_cpus;

void note_placement(void *)
{
    thread_cpus = cpus_of(0);
    placed = 1;
}

}  // namespace

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
    if (std::strcmp(command, "placement") == 0) {
        if (CreateRtThread(150, note_placement, 65536, nullptr) == BAD_RTHANDLE)
            return 1;
        while (placed.load() == 0)
            usleep(1000);
        cpu_set_t set;
        sched_getaffinity(0, sizeof set, &set);
        std::printf("cpus%s\nprocess %d\n", thread_cpus.c_str(), CPU_COUNT(&set));
        return 0;
    }
    return 2;
}
