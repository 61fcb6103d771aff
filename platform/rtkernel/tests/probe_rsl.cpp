// probe_rsl.cpp - a library for the loader tests: counts the RslMain calls it
// receives and says which copy it is. Built as probe.rsl in two folders, and
// as probe_refuse.rsl whose attach fails.
#include "rt.h"

namespace {
int attaches = 0;
int thread_attaches = 0;
int thread_detaches = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID)
{
    switch (reason) {
    case RSL_PROCESS_ATTACH:
        ++attaches;
        return PROBE_ATTACH_RESULT;
    case RSL_THREAD_ATTACH:
        __atomic_add_fetch(&thread_attaches, 1, __ATOMIC_SEQ_CST);
        break;
    case RSL_THREAD_DETACH:
        __atomic_add_fetch(&thread_detaches, 1, __ATOMIC_SEQ_CST);
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) const char *ProbeCopy()
{
    return PROBE_COPY;
}

extern "C" __attribute__((visibility("default"))) int ProbeAttaches()
{
    return attaches;
}

extern "C" __attribute__((visibility("default"))) int ProbeThreadAttaches()
{
    return __atomic_load_n(&thread_attaches, __ATOMIC_SEQ_CST);
}

extern "C" __attribute__((visibility("default"))) int ProbeThreadDetaches()
{
    return __atomic_load_n(&thread_detaches, __ATOMIC_SEQ_CST);
}
