// ko_double.h - what the helper tests see of the tag-library double.
#pragma once

#include "kohgapi.h"

#include <mutex>
#include <string>
#include <vector>

namespace kodouble {

struct LogLine {
    std::string source;
    std::string level;
    std::string text;
};

extern std::mutex log_mutex;
extern std::vector<LogLine> lines;
// When n > 0, the n-th allocation from now on the calling thread fails.
extern thread_local int failing_allocation;

}  // namespace kodouble
