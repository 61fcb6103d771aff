// fifo.cpp - FIFO tags of fixed-size records, safe across processes. The
// ring is guarded by its robust lock; a record is copied before the head or
// tail counter that publishes it moves, so a holder killed at any point
// leaves the ring as it was before or after its call. The counters run from
// 0 to twice the depth and wrap there, which keeps the order for any depth.
// A reader may sleep until a record is there (KoTagWaitFIFO): it waits on
// the tail counter, which every put moves.
#include "futex.h"
#include "robust_mutex.h"
#include "store.h"

#include <chrono>
#include <cstring>

namespace ko {
namespace {

struct Ring {
    FifoArea *area;
    uint8_t *records;
    uint32_t record_size;
    uint32_t depth;
    uint8_t *slot(uint32_t counter) const
    {
        return records + uint64_t{counter >= depth ? counter - depth : counter} * record_size;
    }
    uint32_t next(uint32_t counter) const { return counter + 1 == 2 * depth ? 0 : counter + 1; }
    uint32_t count(uint32_t head, uint32_t tail) const { return tail >= head ? tail - head : tail + 2 * depth - head; }
};

Ring ring_at(FifoArea *area, const TagSlot *t)
{
    return Ring{area, reinterpret_cast<uint8_t *>(area + 1), t->size, t->depth};
}

uint32_t ring_of(Store *s, uint32_t entry, uint32_t size, Ring &ring)
{
    TagSlot *t = slot_of(s, entry);
    if (t == nullptr)
        return s == nullptr ? KO_E_STORE : KO_E_ENTRY;
    if (t->type != KO_TYPE_FIFO)
        return KO_E_KIND;
    if (size != t->size)
        return KO_E_SIZE;
    ring = ring_at(s->at<FifoArea>(t->data), t);
    return KO_OK;
}

// The ring of a FIFO tag, whatever its record size.
uint32_t ring_by_entry(uint32_t entry, Ring &ring)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    if (t->type != KO_TYPE_FIFO)
        return KO_E_KIND;
    ring = ring_at(s->at<FifoArea>(t->data), t);
    return KO_OK;
}

void set_count(uint32_t *count, uint32_t value)
{
    if (count != nullptr)
        *count = value;
}

}  // namespace

void fifo_init(FifoArea *fifo)
{
    robust_mutex_init(&fifo->lock);
    fifo->head.store(0);
    fifo->tail.store(0);
    fifo->waiters.store(0);
}

uint32_t fifo_peek(Store *s, TagSlot *t, void *record, uint32_t size)
{
    if (size != t->size)
        return KO_E_SIZE;
    auto *area = s->at<FifoArea>(t->data);
    Ring ring = ring_at(area, t);
    RobustLock lock(&area->lock);
    uint32_t head = area->head.load(std::memory_order_relaxed);
    if (area->tail.load(std::memory_order_relaxed) == head)
        return KO_E_FIFO_EMPTY;
    std::memcpy(record, ring.slot(head), size);
    return KO_OK;
}

}  // namespace ko

using namespace ko;

extern "C" uint32_t KoTagPutFIFO(uint32_t entry, const void *record, uint32_t size, uint32_t *count)
{
    Ring ring;
    if (uint32_t status = ring_of(store(), entry, size, ring); status != KO_OK)
        return status;
    if (record == nullptr)
        return KO_E_ARGUMENT;
    {
        RobustLock lock(&ring.area->lock);
        uint32_t head = ring.area->head.load(std::memory_order_relaxed);
        uint32_t tail = ring.area->tail.load(std::memory_order_relaxed);
        uint32_t held = ring.count(head, tail);
        if (held >= ring.depth) {
            set_count(count, held);
            return KO_E_FIFO_FULL;
        }
        std::memcpy(ring.slot(tail), record, size);
        // Sequentially consistent with the waiter's count and check: either
        // this put sees the waiter or the waiter sees the new tail.
        ring.area->tail.store(ring.next(tail), std::memory_order_seq_cst);
        set_count(count, held + 1);
    }
    if (ring.area->waiters.load(std::memory_order_seq_cst) != 0)
        futex_wake(&ring.area->tail);
    return KO_OK;
}

extern "C" uint32_t KoTagGetFIFO(uint32_t entry, void *record, uint32_t size, uint32_t *count)
{
    Store *s = store();
    // No buffer: remove the oldest record, whatever size is given.
    if (record == nullptr) {
        TagSlot *t = slot_of(s, entry);
        if (t != nullptr && t->type == KO_TYPE_FIFO)
            size = t->size;
    }
    Ring ring;
    if (uint32_t status = ring_of(s, entry, size, ring); status != KO_OK)
        return status;
    RobustLock lock(&ring.area->lock);
    uint32_t head = ring.area->head.load(std::memory_order_relaxed);
    uint32_t tail = ring.area->tail.load(std::memory_order_relaxed);
    if (tail == head) {
        set_count(count, 0);
        return KO_E_FIFO_EMPTY;
    }
    if (record != nullptr)
        std::memcpy(record, ring.slot(head), size);
    ring.area->head.store(ring.next(head), std::memory_order_release);
    set_count(count, ring.count(head, tail) - 1);
    return KO_OK;
}

extern "C" uint32_t KoTagGetFIFOCount(uint32_t entry, uint32_t *count)
{
    Ring ring;
    if (uint32_t status = ring_by_entry(entry, ring); status != KO_OK)
        return status;
    if (count == nullptr)
        return KO_E_ARGUMENT;
    RobustLock lock(&ring.area->lock);
    *count = ring.count(ring.area->head.load(std::memory_order_relaxed), ring.area->tail.load(std::memory_order_relaxed));
    return KO_OK;
}

extern "C" uint32_t KoTagWaitFIFO(uint32_t entry, int32_t timeout_ms, uint32_t *count)
{
    Ring ring;
    if (uint32_t status = ring_by_entry(entry, ring); status != KO_OK)
        return status;
    FifoArea *area = ring.area;
    auto held = [&] {
        return ring.count(area->head.load(std::memory_order_seq_cst), area->tail.load(std::memory_order_seq_cst));
    };
    uint32_t now_held = held();
    if (now_held == 0 && timeout_ms != 0) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
        area->waiters.fetch_add(1, std::memory_order_seq_cst);
        for (;;) {
            uint32_t tail = area->tail.load(std::memory_order_seq_cst);
            if ((now_held = held()) != 0)
                break;
            long long left = -1;
            if (timeout_ms > 0) {
                left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
                if (left <= 0)
                    break;
            }
            if (!futex_wait(&area->tail, tail, left)) {
                now_held = held();
                break;  // a signal ends the wait, as it ends a blocking read
            }
        }
        area->waiters.fetch_sub(1, std::memory_order_seq_cst);
    }
    set_count(count, now_held);
    return now_held != 0 ? KO_OK : KO_E_FIFO_EMPTY;
}
