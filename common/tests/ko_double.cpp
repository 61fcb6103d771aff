// ko_double.cpp - stands in for the tag library's log and service name, and
// wraps malloc so tests can make the next allocations fail.
#include "ko_double.h"

#include <cstdlib>
#include <mutex>

extern "C" {
char KoServiceName[KO_SERVICE_NAME_SIZE] = "ECAT_1";

uint32_t KoLogWrite(const char *source, const char *level, const char *text)
{
    std::lock_guard lock(kodouble::log_mutex);
    kodouble::lines.push_back({source, level, text});
    return 0;
}

static bool allocation_fails()
{
    return kodouble::failing_allocation > 0 && --kodouble::failing_allocation == 0;
}

void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size)
{
    return allocation_fails() ? nullptr : __real_malloc(size);
}

// The compiler may turn malloc followed by clearing into calloc.
void *__real_calloc(size_t count, size_t size);
void *__wrap_calloc(size_t count, size_t size)
{
    return allocation_fails() ? nullptr : __real_calloc(count, size);
}
}

namespace kodouble {
std::mutex log_mutex;
std::vector<LogLine> lines;
thread_local int failing_allocation = 0;
}  // namespace kodouble
