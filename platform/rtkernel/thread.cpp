// thread.cpp - CreateRtThread, thread handles and the process priority
// ceiling. Priorities are checked on their INtime value; the Linux scheduling
// is only a mapping of it (SCHED_FIFO with RT_SCHED=fifo, else SCHED_OTHER).
#include "kernel_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace rtk {
namespace {

constexpr BYTE kInitialCeiling = 129;
constexpr BYTE kRefusedPriority = 255;
#if defined(RTK_SANITIZED_BUILD)
constexpr size_t kMinStack = 1024 * 1024;  // sanitizer frames are several times larger
#else
constexpr size_t kMinStack = 64 * 1024;    // an 8 KiB RTOS stack is too small for glibc
#endif

std::atomic<BYTE> ceiling{kInitialCeiling};

struct ThreadObject final : Object {
    ThreadObject(BYTE prio, RT_THREAD_ENTRY fn, LPVOID arg)
        : Object(ObjectType::thread), priority(prio), entry(fn), param(arg) {}
    const BYTE priority;
    const RT_THREAD_ENTRY entry;
    const LPVOID param;
    RTHANDLE handle = BAD_RTHANDLE;
};

thread_local ThreadObject *current_thread = nullptr;

// INtime 0 (best) .. 254 (worst) onto SCHED_FIFO 98 .. 1.
int fifo_priority(BYTE priority)
{
    return 1 + (254 - priority) * 97 / 254;
}

// What RT_SCHED=fifo asks of the process, done once; what is not granted is
// reported on standard error and the process runs on without it.
void prepare_realtime_process()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
            std::fprintf(stderr, "rtkernel: RT_SCHED=fifo: memory not locked (%s)\n", std::strerror(errno));
        int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
        int32_t zero = 0;
        if (fd < 0 || write(fd, &zero, sizeof zero) != static_cast<ssize_t>(sizeof zero)) {
            std::fprintf(stderr, "rtkernel: RT_SCHED=fifo: /dev/cpu_dma_latency not held at 0 (%s)\n",
                         std::strerror(errno));
            if (fd >= 0)
                close(fd);
        }
        // The descriptor stays open for the life of the process: closing it ends the request.
    });
}

void *thread_start(void *arg)
{
    auto *self = static_cast<ThreadObject *>(arg);
    current_thread = self;
    run_thread_attach();
    self->entry(self->param);
    run_thread_detach();
    current_thread = nullptr;
    unregister_object(self->handle);
    delete self;
    return nullptr;
}

// Threads that the layer did not create (main, C++ library threads) get a
// handle on first request; it lives as long as the thread.
struct AdoptedThread {
    ThreadObject *object = nullptr;
    ~AdoptedThread()
    {
        if (object != nullptr) {
            unregister_object(object->handle);
            delete object;
        }
    }
};
thread_local AdoptedThread adopted;

}  // namespace

BYTE priority_ceiling()
{
    return ceiling.load(std::memory_order_relaxed);
}

BYTE current_thread_priority()
{
    return current_thread != nullptr ? current_thread->priority : priority_ceiling();
}

}  // namespace rtk

using namespace rtk;

extern "C" RTHANDLE CreateRtThread(BYTE priority, RT_THREAD_ENTRY entry, DWORD stack_size, LPVOID param)
{
    arm_process();
    if (priority == kRefusedPriority || stack_size == 0)
        return fail(E_PARAM, BAD_RTHANDLE);
    if (entry == nullptr)
        return fail(E_BAD_ADDR, BAD_RTHANDLE);
    BYTE effective = priority == 0 ? priority_ceiling() : priority;
    if (effective < priority_ceiling())
        return fail(E_LIMIT, BAD_RTHANDLE);

    auto *object = new (std::nothrow) ThreadObject(effective, entry, param);
    if (object == nullptr)
        return fail(E_MEM, BAD_RTHANDLE);
    object->handle = register_object(object);
    if (object->handle == BAD_RTHANDLE) {
        delete object;
        return fail(E_SLOT, BAD_RTHANDLE);
    }

    size_t stack = (static_cast<size_t>(stack_size) + 4095) / 4096 * 4096;
    if (stack < kMinStack)
        stack = kMinStack;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);
    if (settings().fifo) {
        prepare_realtime_process();
        sched_param sp{};
        sp.sched_priority = fifo_priority(effective);
        pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
        pthread_attr_setschedparam(&attr, &sp);
    }
    if (!settings().rt_cpu_note.empty()) {
        static std::once_flag noted;
        std::call_once(noted, [] { std::fprintf(stderr, "rtkernel: %s\n", settings().rt_cpu_note.c_str()); });
    }
    if (settings().rt_cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(settings().rt_cpu, &one);
        pthread_attr_setaffinity_np(&attr, sizeof one, &one);
    }
    const RTHANDLE handle = object->handle;  // the thread may end and free its object at once
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, thread_start, object);
    if (rc == EPERM && settings().fifo) {
        static std::once_flag warned;
        std::call_once(warned, [] {
            std::fprintf(stderr, "rtkernel: RT_SCHED=fifo: SCHED_FIFO not permitted, threads run SCHED_OTHER\n");
        });
        pthread_attr_setinheritsched(&attr, PTHREAD_INHERIT_SCHED);
        rc = pthread_create(&tid, &attr, thread_start, object);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        unregister_object(handle);
        delete object;
        return fail(rc == EAGAIN ? E_LIMIT : E_MEM, BAD_RTHANDLE);
    }
    return handle;
}

extern "C" BYTE GetRtThreadPriority(RTHANDLE thread)
{
    auto *object = object_as<ThreadObject>(thread, ObjectType::thread);
    return object == nullptr ? kRefusedPriority : object->priority;
}

extern "C" BOOLEAN RtThreadIsRealtime(void)
{
    return current_thread != nullptr ? TRUE : FALSE;
}

extern "C" RTHANDLE GetRtThreadHandles(BYTE selection)
{
    switch (selection) {
    case THIS_THREAD:
        if (current_thread != nullptr)
            return current_thread->handle;
        if (adopted.object == nullptr) {
            auto *object = new ThreadObject(priority_ceiling(), nullptr, nullptr);
            object->handle = register_object(object);
            adopted.object = object;
        }
        return adopted.object->handle;
    case THIS_PROCESS:
        return this_process_handle();
    case ROOT_PROCESS:
        return root_process_handle();
    default:
        return fail(E_PARAM, NULL_RTHANDLE);
    }
}

extern "C" BOOLEAN SetRtProcessMaxPriority(RTHANDLE process, BYTE priority)
{
    if (!is_this_process(process)) {
        Object *object = find_object(process);
        if (object == nullptr)
            return fail(E_EXIST, BOOLEAN{FALSE});
        return fail(E_CONTEXT, BOOLEAN{FALSE});
    }
    if (priority == kRefusedPriority)
        return fail(E_PARAM, BOOLEAN{FALSE});
    BYTE current = ceiling.load();
    while (priority <= current) {
        if (ceiling.compare_exchange_weak(current, priority))
            return TRUE;
    }
    return fail(E_LIMIT, BOOLEAN{FALSE});
}
