// main.cpp - the iohost program; everything else is in the container's library
// so that benchmarks can run its cycles in their own process.
#include "iohost.h"
#include "rt.h"

int main(int argc, char **argv)
{
    // From here on an end signal is queued: one that comes during start-up
    // or set-up ends the service once set-up is over, through its shutdown.
    RtArmNotifications();
    return HostMain(argc, argv);
}
