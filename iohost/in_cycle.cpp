// in_cycle.cpp - InServThread: on every release of its semaphore, reads each
// enabled input point from the device through the read step and stores it
// in its tag; bits of one device item are served by one read.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"
#include "rt.h"

#include <cstring>

namespace {

// One device read for the bit point at i and every point of its address that
// follows; returns the index of the group's last point.
int32_t read_bit_group(Cycle &c, int32_t i, uint8_t (&item)[8])
{
    const TagRef &first = TagRefs_IN[i];
    uint32_t status = DriverCalls.read(&g_record, c.record->index, first.address, 0, item, BitItemLength(first),
                                       kPointUnit, &first);
    c.driver_status |= status;
    if (status != 0)
        return i;
    for (;;) {
        const TagRef &ref = TagRefs_IN[i];
        const PortTag &port = KoInPortTags[ref.port_index];
        uint8_t bit[8] = {};
        GetBit(bit, sizeof bit, item, BitItemLength(ref), ref.bit_number);
        c.tag_status |= FitsPointUnit(port) ? KoTagWriteByEntry(port.entry, bit, port.data_size) : KO_E_SIZE;
        if (!SameAddressFollows(i, KoInPortCount, TagRefs_IN))
            return i;
        ++i;
    }
}

void read_value(Cycle &c, const TagRef &ref, const PortTag &port, uint8_t (&scratch)[8])
{
    if (!FitsPointUnit(port)) {
        c.tag_status |= KO_E_SIZE;
        return;
    }
    uint32_t status =
        DriverCalls.read(&g_record, c.record->index, ref.address, 0, scratch, port.data_size, kPointUnit, &ref);
    c.driver_status |= status;
    if (status == 0)
        c.tag_status |= KoTagWriteByEntry(port.entry, scratch, port.data_size);
}

// False when the segment buffer cannot grow: the thread must stop.
bool read_segment(Cycle &c, const TagRef &ref, const PortTag &port)
{
    uint32_t size = port.data_size;
    if (!EnsureSegmentBuffer(&c.segment, &c.segment_size, size)) {
        LogPrint(KoServiceName, "ERR", "Stop IN Service. Because Cannot Create Segment Memory(%d).\n,%s,%05d",
                 static_cast<int>(size), kKorecode, korecode_line::kInSegmentMemory);
        return false;
    }
    uint32_t status = DriverCalls.read(&g_record, c.record->index, ref.address, 0, c.segment, size, size, &ref);
    c.driver_status |= status;
    if (status == 0)
        c.tag_status |= KoTagWriteSegment(port.entry, 0, c.segment, size);
    return true;
}

// Moves every enabled input point once; false when the thread must stop.
bool move_points(Cycle &c)
{
    for (int32_t i = 0; i < KoInPortCount; ++i) {
        const TagRef &ref = TagRefs_IN[i];
        if (ref.enabled != 1)
            continue;
        uint8_t scratch[8] = {};
        const PortTag &port = KoInPortTags[ref.port_index];
        if (ref.access_mode == KO_ACCESS_BIT) {
            if (!IsSegmentType(port.data_type))
                i = read_bit_group(c, i, scratch);
        } else if (!IsSegmentType(port.data_type)) {
            read_value(c, ref, port, scratch);
        } else if (!read_segment(c, ref, port)) {
            return false;
        }
    }
    return true;
}

const Direction kInput = {
    false,
    &TagRefs_IN,
    &KoInPortTags,
    &KoInPortCount,
    "Stop IN Service. Because TagRef(TagRefs_IN) kore I/O Port is NULL.\n,%s,%05d",
    415,
    "Stop IN Service. Because Cannot Create Segment Memory(%d).\n,%s,%05d",
    390,
    move_points,
};

}  // namespace

void InServThread(void *thread_record)
{
    RunServiceThread(static_cast<ThreadRecord *>(thread_record), kInput);
}
