// kernel_internal.h - what the rooms of librtkernel share: the settings read
// once from the environment, the failure helper and the process handle table.
#pragma once

#include "rt.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace rtk {

// Environment of the process, read once on first use.
struct Settings {
    std::string node_dir;
    std::string node_dir_error;  // why the default node directory is refused
    std::string node_name;
    std::string library_path;
    std::string program_dir;
    uint32_t tick_us = 500;
    bool fifo = false;
    int rt_cpu = -1;          // the CPU every real-time thread runs on; -1 any
    std::string rt_cpu_note;  // what became of an RT_CPU that could not be followed
    int ready_fd = -1;
};
const Settings &settings();

// Sets the calling thread's last error and returns the given failure value.
template <typename T>
inline T fail(DWORD code, T result)
{
    SetLastRtError(code);
    return result;
}

enum class ObjectType : uint8_t { process, thread, semaphore, module };

struct Object {
    explicit Object(ObjectType t) : type(t) {}
    virtual ~Object() = default;
    const ObjectType type;
};

// Handles 1..0xFFFE of one process. Lookup is lock-free: it sits on the
// semaphore hot path.
RTHANDLE register_object(Object *object);  // BAD_RTHANDLE when the table is full
void unregister_object(RTHANDLE handle);
Object *find_object(RTHANDLE handle);

// The object of the given type behind a handle, or nullptr with E_EXIST/E_TYPE set.
template <typename T>
T *object_as(RTHANDLE handle, ObjectType type)
{
    Object *object = find_object(handle);
    if (object == nullptr)
        return fail<T *>(E_EXIST, nullptr);
    if (object->type != type)
        return fail<T *>(E_TYPE, nullptr);
    return static_cast<T *>(object);
}

// Handles of the calling process and of the node's root process.
RTHANDLE this_process_handle();
RTHANDLE root_process_handle();
// Maps a directory owner argument: 0 counts as the calling process.
bool is_this_process(RTHANDLE process);

// The process's priority ceiling (INtime value, 129 at start).
BYTE priority_ceiling();
// INtime priority of the calling thread (the ceiling for foreign threads).
BYTE current_thread_priority();

// Arms the notification machinery (signal handlers) once; called by the
// first CreateRtThread, RtNotifyEvent or SynchronizeRtLoader.
void arm_process();

// Loader hooks run by every thread the layer creates.
void run_thread_attach();
void run_thread_detach();

// Absolute sleep to the n-th boundary of a grid of period_ns from now.
void sleep_ticks(uint64_t period_ns, uint64_t ticks);
uint64_t monotonic_ns();

}  // namespace rtk
