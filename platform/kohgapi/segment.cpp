// segment.cpp - byte-block tags: reads and writes at a byte offset, under the
// segment's own robust lock. A write fills the copy that is not current and
// then switches copies with one store, so no reader ever sees a block
// half-written, even when the writer is killed in the middle of it.
#include "robust_mutex.h"
#include "store.h"

#include <cstring>

namespace ko {

namespace {

uint32_t check_range(const TagSlot *t, uint32_t offset, uint32_t length)
{
    if (!is_segment_type(t->type))
        return KO_E_KIND;
    if (uint64_t{offset} + length > t->size)
        return KO_E_SIZE;
    return KO_OK;
}

uint8_t *copy_of(SegmentArea *area, const TagSlot *t, uint32_t which)
{
    return reinterpret_cast<uint8_t *>(area + 1) + uint64_t{which} * t->size;
}

// The segment's lock. After a holder died mid-write the copy that is not
// current may hold anything: the next write brings all of it over.
class SegmentLock {
public:
    SegmentLock(SegmentArea *area, const TagSlot *t) : lock_(&area->lock)
    {
        if (lock_.taken_over()) {
            area->lag_offset = 0;
            area->lag_length = t->size;
        }
    }

private:
    RobustLock lock_;
};

}  // namespace

void segment_init(SegmentArea *segment)
{
    robust_mutex_init(&segment->lock);
    segment->current.store(0);
    segment->lag_offset = 0;
    segment->lag_length = 0;
}

uint32_t segment_read(Store *s, TagSlot *t, uint32_t offset, void *buffer, uint32_t length)
{
    if (uint32_t status = check_range(t, offset, length); status != KO_OK)
        return status;
    auto *area = s->at<SegmentArea>(t->data);
    SegmentLock lock(area, t);
    std::memcpy(buffer, copy_of(area, t, area->current.load(std::memory_order_relaxed)) + offset, length);
    return KO_OK;
}

uint32_t segment_write(Store *s, TagSlot *t, uint32_t offset, const void *buffer, uint32_t length)
{
    if (uint32_t status = check_range(t, offset, length); status != KO_OK)
        return status;
    auto *area = s->at<SegmentArea>(t->data);
    SegmentLock lock(area, t);
    uint32_t current = area->current.load(std::memory_order_relaxed);
    uint8_t *from = copy_of(area, t, current);
    uint8_t *to = copy_of(area, t, current ^ 1u);
    // What the other copy lags behind in, unless this write covers it all.
    uint32_t lag_end = area->lag_offset + area->lag_length;
    if (area->lag_length != 0 && (area->lag_offset < offset || lag_end > offset + length))
        std::memcpy(to + area->lag_offset, from + area->lag_offset, area->lag_length);
    std::memcpy(to + offset, buffer, length);
    area->current.store(current ^ 1u, std::memory_order_release);
    area->lag_offset = offset;
    area->lag_length = length;
    return KO_OK;
}

}  // namespace ko

using namespace ko;

namespace {

// The checks of both public calls, then the read or write itself.
template <typename Buffer, typename Move>
uint32_t segment_call(uint32_t entry, uint32_t offset, Buffer buffer, uint32_t length, Move move)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    if (buffer == nullptr)
        return KO_E_ARGUMENT;
    return move(s, t, offset, buffer, length);
}

}  // namespace

extern "C" uint32_t KoTagReadSegment(uint32_t entry, uint32_t offset, void *buffer, uint32_t length)
{
    return segment_call(entry, offset, buffer, length, segment_read);
}

extern "C" uint32_t KoTagWriteSegment(uint32_t entry, uint32_t offset, const void *buffer, uint32_t length)
{
    return segment_call(entry, offset, buffer, length, segment_write);
}
