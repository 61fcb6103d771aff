// pace_service.h - a real iohost on the pacing bench's driver, started the
// way a user starts one: the samples file the driver wants, the process
// with its console quiet, and `ko ctl NAME run`.
#pragma once

#include "pace_samples.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

// Makes the driver's samples file in the node directory dir; false when it cannot.
inline bool make_pace_samples(const std::string &dir)
{
    int fd = open((dir + "/" + kPaceSamplesFile).c_str(), O_RDWR | O_CREAT, 0600);
    bool made = fd >= 0 && ftruncate(fd, sizeof(PaceSamples)) == 0;
    if (fd >= 0)
        close(fd);
    return made;
}

// Starts service name of the node in RT_NODE_DIR from the programs in bin
// and asks it to run; its pid.
inline pid_t start_pace_service(const std::string &bin, const char *name)
{
    setenv("KO_SERVICE", name, 1);  // for the child; this process needs it no more
    pid_t pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execl((bin + "/iohost").c_str(), "iohost", "-rsl", "pace_driver.rsl", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string run = bin + "/ko ctl " + name + " run >/dev/null 2>&1";
    for (int i = 0; i < 100 && std::system(run.c_str()) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return pid;
}
