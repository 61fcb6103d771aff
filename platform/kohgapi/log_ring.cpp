// log_ring.cpp - a bounded multi-producer ring of whole lines (each slot
// carries a sequence number: a producer claims a slot by moving the head,
// fills it and publishes it by its sequence; the one writer takes slots in
// order), and the writer thread, which sleeps on a futex while the ring is
// empty.
#include "log_ring.h"

#include "futex.h"
#include "kohgapi.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace ko {
namespace {

constexpr size_t kSlots = 64;
constexpr size_t kSlotBytes = 4096;

struct Slot {
    std::atomic<uint64_t> sequence;
    size_t length;
    char line[kSlotBytes];
};

struct Ring {
    Ring()
    {
        for (size_t i = 0; i < kSlots; ++i)
            slots[i].sequence.store(i, std::memory_order_relaxed);
    }
    Slot slots[kSlots];
    std::atomic<uint64_t> head{0};
    uint64_t tail = 0;                  // the writer's, under take_lock
    std::atomic<uint32_t> dropped{0};
    uint32_t dropped_said = 0;          // under take_lock
    std::atomic<uint32_t> published{0};  // the writer's futex word
    std::atomic<bool> writer_sleeps{false};
    std::mutex take_lock;  // the writer thread and the flush at exit
};

Ring &ring()
{
    static Ring r;
    return r;
}

// Writes out what the ring holds; true when it wrote anything.
bool drain(Ring &r)
{
    std::lock_guard<std::mutex> lock(r.take_lock);
    bool any = false;
    for (;;) {
        Slot &slot = r.slots[r.tail % kSlots];
        if (slot.sequence.load(std::memory_order_acquire) != r.tail + 1)
            break;
        log_write_line(slot.line, slot.length);
        slot.sequence.store(r.tail + kSlots, std::memory_order_release);
        ++r.tail;
        any = true;
    }
    uint32_t dropped = r.dropped.load();
    if (dropped != r.dropped_said) {
        char text[128];
        std::snprintf(text, sizeof text, "%u lines of real-time threads were dropped: the log ring of %zu lines was full",
                      dropped - r.dropped_said, kSlots);
        r.dropped_said = dropped;
        KoLogWrite("kohgapi", "WRN", text);
    }
    return any;
}

void writer(Ring *r)
{
    for (;;) {
        uint32_t seen = r->published.load();
        if (drain(*r))
            continue;
        r->writer_sleeps.store(true);
        if (r->published.load() == seen)
            futex_wait(&r->published, seen, -1);
        r->writer_sleeps.store(false);
    }
}

void start_writer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::thread(writer, &ring()).detach();
        std::atexit([] { drain(ring()); });
    });
}

}  // namespace

bool log_ring_put(const char *line, size_t length)
{
    Ring &r = ring();
    start_writer();
    uint64_t position = r.head.load(std::memory_order_relaxed);
    Slot *slot = nullptr;
    for (;;) {
        slot = &r.slots[position % kSlots];
        uint64_t sequence = slot->sequence.load(std::memory_order_acquire);
        if (sequence == position) {
            if (r.head.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                break;
        } else if (sequence < position) {
            r.dropped.fetch_add(1);
            return false;
        } else {
            position = r.head.load(std::memory_order_relaxed);
        }
    }
    slot->length = length < kSlotBytes ? length : kSlotBytes;
    std::memcpy(slot->line, line, slot->length);
    slot->sequence.store(position + 1, std::memory_order_release);
    r.published.fetch_add(1);
    if (r.writer_sleeps.load())
        futex_wake(&r.published);
    return true;
}

}  // namespace ko
