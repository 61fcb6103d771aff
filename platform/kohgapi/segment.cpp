// segment.cpp - byte-block tags: reads and writes at a byte offset, under the
// segment's own robust lock so a block is never seen half-written.
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

uint8_t *bytes_of(Store *s, const TagSlot *t)
{
    return reinterpret_cast<uint8_t *>(s->at<SegmentArea>(t->data) + 1);
}

}  // namespace

uint32_t segment_read(Store *s, TagSlot *t, uint32_t offset, void *buffer, uint32_t length)
{
    if (uint32_t status = check_range(t, offset, length); status != KO_OK)
        return status;
    RobustLock lock(&s->at<SegmentArea>(t->data)->lock);
    std::memcpy(buffer, bytes_of(s, t) + offset, length);
    return KO_OK;
}

uint32_t segment_write(Store *s, TagSlot *t, uint32_t offset, const void *buffer, uint32_t length)
{
    if (uint32_t status = check_range(t, offset, length); status != KO_OK)
        return status;
    RobustLock lock(&s->at<SegmentArea>(t->data)->lock);
    std::memcpy(bytes_of(s, t) + offset, buffer, length);
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
