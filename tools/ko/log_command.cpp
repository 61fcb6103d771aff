// log_command.cpp - ko log: prints the node log, and with -f keeps printing
// what is appended until interrupted.
#include "commands.h"
#include "rt.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace kotool {

int log(bool follow)
{
    std::string path = std::string(RtNodeDirectory()) + "/node.log";
    FILE *file = std::fopen(path.c_str(), "r");
    while (file == nullptr && follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        file = std::fopen(path.c_str(), "r");
    }
    if (file == nullptr) {
        std::fprintf(stderr, "ko: %s: no log yet\n", path.c_str());
        return kFailed;
    }
    char buffer[4096];
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof buffer, file);
        if (n > 0) {
            std::fwrite(buffer, 1, n, stdout);
            continue;
        }
        if (!follow)
            break;
        std::fflush(stdout);
        std::clearerr(file);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::fclose(file);
    return kDone;
}

}  // namespace kotool
