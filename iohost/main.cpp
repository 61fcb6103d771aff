// main.cpp - the iohost program; everything else is in the container's library
// so that benchmarks can run its cycles in their own process.
#include "iohost.h"

int main(int argc, char **argv)
{
    return HostMain(argc, argv);
}
