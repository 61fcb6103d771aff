// log_command.cpp - ko log: prints the node log, the rotated files first
// (node.log.3 .. node.log.1, oldest first), and with -f keeps printing what
// is appended, following the log to its new file when it rotates.
#include "commands.h"
#include "rt.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace kotool {
namespace {

constexpr int kRotatedFiles = 3;

std::string log_path(int generation)
{
    std::string path = std::string(RtNodeDirectory()) + "/node.log";
    return generation == 0 ? path : path + "." + std::to_string(generation);
}

// Copies what the file holds from its read position to standard output.
void drain(FILE *file)
{
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        std::fwrite(buffer, 1, n, stdout);
    std::clearerr(file);
}

// Whether the node log is now another file than the one open.
bool rotated_away(FILE *file)
{
    struct stat open_file {}, named {};
    return fstat(fileno(file), &open_file) == 0 &&
           (stat(log_path(0).c_str(), &named) != 0 || named.st_ino != open_file.st_ino);
}

}  // namespace

int log(bool follow)
{
    for (int g = kRotatedFiles; g > 0; --g)
        if (FILE *old = std::fopen(log_path(g).c_str(), "r")) {
            drain(old);
            std::fclose(old);
        }
    FILE *file = std::fopen(log_path(0).c_str(), "r");
    while (file == nullptr && follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        file = std::fopen(log_path(0).c_str(), "r");
    }
    if (file == nullptr) {
        std::fprintf(stderr, "ko: %s: no log yet\n", log_path(0).c_str());
        return kFailed;
    }
    drain(file);
    while (follow) {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        drain(file);
        if (rotated_away(file)) {
            drain(file);  // the last lines written before the rotation
            if (FILE *next = std::fopen(log_path(0).c_str(), "r")) {
                std::fclose(file);
                file = next;
            }
        }
    }
    std::fclose(file);
    return kDone;
}

}  // namespace kotool
