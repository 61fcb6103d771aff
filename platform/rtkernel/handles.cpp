// handles.cpp - the process's handle table and its two process objects.
// Handles are 16-bit indexes; 0 and 0xFFFF are never given out.
#include "kernel_internal.h"

#include <mutex>

namespace rtk {
namespace {

constexpr size_t kSlots = 0x10000;
std::atomic<Object *> slots[kSlots];
std::mutex slots_mutex;
size_t next_slot = 1;

struct ProcessObject final : Object {
    explicit ProcessObject(bool root_process) : Object(ObjectType::process), root(root_process) {}
    const bool root;
};

struct ProcessHandles {
    RTHANDLE self;
    RTHANDLE root;
};

const ProcessHandles &process_handles()
{
    static const ProcessHandles handles{register_object(new ProcessObject(false)),
                                        register_object(new ProcessObject(true))};
    return handles;
}

}  // namespace

RTHANDLE register_object(Object *object)
{
    std::lock_guard lock(slots_mutex);
    for (size_t tried = 0; tried < kSlots - 2; ++tried) {
        size_t slot = next_slot;
        next_slot = next_slot + 1 >= kSlots - 1 ? 1 : next_slot + 1;
        if (slots[slot].load(std::memory_order_relaxed) == nullptr) {
            slots[slot].store(object, std::memory_order_release);
            return static_cast<RTHANDLE>(slot);
        }
    }
    return BAD_RTHANDLE;
}

void unregister_object(RTHANDLE handle)
{
    if (handle != NULL_RTHANDLE && handle != BAD_RTHANDLE)
        slots[handle].store(nullptr, std::memory_order_release);
}

Object *find_object(RTHANDLE handle)
{
    if (handle == NULL_RTHANDLE || handle == BAD_RTHANDLE)
        return nullptr;
    return slots[handle].load(std::memory_order_acquire);
}

RTHANDLE this_process_handle()
{
    return process_handles().self;
}

RTHANDLE root_process_handle()
{
    return process_handles().root;
}

bool is_this_process(RTHANDLE process)
{
    return process == NULL_RTHANDLE || process == this_process_handle();
}

}  // namespace rtk
