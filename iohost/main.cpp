// main.cpp - the iohost program; everything else is in the container's library
// so that benchmarks can run its cycles in their own process.
#include "iohost.h"
#include "rt.h"

#include <cstdio>
#include <cstring>

#ifndef IOHOST_VERSION
#define IOHOST_VERSION "0"
#endif

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: iohost -rsl DRIVER.rsl\n"
                    "Runs one I/O service with the driver library DRIVER.rsl (a path, or a name found\n"
                    "through RT_LIBRARY_PATH). The service is named by KO_SERVICE; its settings are the\n"
                    "tags SERVICE.NAME.* of the node in RT_NODE_DIR. konode starts one iohost per service.\n"
                    "Exit: 0 ended, -1 to -6 start-up failures (the console line says which).\n");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("iohost %s\n", IOHOST_VERSION);
        return 0;
    }
    // From here on an end signal is queued: one that comes during start-up
    // or set-up ends the service once set-up is over, through its shutdown.
    RtArmNotifications();
    return HostMain(argc, argv);
}
