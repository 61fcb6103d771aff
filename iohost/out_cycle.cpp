// out_cycle.cpp - OutServThread: on every release of its semaphore, hands
// each enabled output point's tag value to the device through the write
// step; bit points by read-modify-write of their device item; with
// OutputDifferent only what differs from the last value the device took.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"
#include "rt.h"

#include <cstring>

namespace {

// Whether a value must go to the device: always without OutputDifferent or
// after an open, else only when it differs from what the device last took.
bool must_write(const Cycle &c, const PortTag &port, const uint8_t *value, uint32_t length)
{
    return g_config.output_different == 0 || c.write_all || std::memcmp(port.last_value, value, length) != 0;
}

// The write of a value or bit item; last_value follows only a write the device took.
void write_item(Cycle &c, const TagRef &ref, PortTag &port, const uint8_t (&value)[8], uint32_t length)
{
    uint32_t status = DriverCalls.write(&g_record, c.record->index, ref.address, 0, value, length, &ref);
    c.driver_status |= status;
    if (status == 0)
        std::memcpy(port.last_value, value, sizeof port.last_value);
}

// Read-modify-write of the device item of the bit point at i and the points
// of its address that follow; returns the index of the last point visited.
int32_t write_bit_group(Cycle &c, int32_t i, uint8_t (&item)[8])
{
    const TagRef &first = TagRefs_Out[i];
    uint32_t length = BitItemLength(first);
    uint32_t status = DriverCalls.read(&g_record, c.record->index, first.address, 0, item, length, kPointUnit, &first);
    c.driver_status |= status;
    if (status != 0)
        return i;
    for (;;) {
        const TagRef &ref = TagRefs_Out[i];
        const PortTag &port = KoOutPortTags[ref.port_index];
        uint8_t value[8] = {};
        uint32_t read = FitsPointUnit(port) ? KoTagReadByEntry(port.entry, value, port.data_size) : KO_E_SIZE;
        c.tag_status |= read;
        if (read != 0)
            break;  // the group ends here; the points after it form a new one
        PutBit(item, length, value, port.data_size, ref.bit_number);
        if (!SameAddressFollows(i, KoOutPortCount, TagRefs_Out))
            break;
        ++i;
    }
    const TagRef &last = TagRefs_Out[i];
    PortTag &port = KoOutPortTags[last.port_index];
    if (must_write(c, port, item, length))
        write_item(c, last, port, item, length);
    return i;
}

void write_value(Cycle &c, const TagRef &ref, PortTag &port, uint8_t (&scratch)[8])
{
    uint32_t read = FitsPointUnit(port) ? KoTagReadByEntry(port.entry, scratch, port.data_size) : KO_E_SIZE;
    c.tag_status |= read;
    if (read == 0 && must_write(c, port, scratch, port.data_size))
        write_item(c, ref, port, scratch, port.data_size);
}

// False when the segment buffer cannot grow: the thread must stop.
bool write_segment(Cycle &c, const TagRef &ref, const PortTag &port)
{
    uint32_t size = port.data_size;
    if (!EnsureSegmentBuffer(&c.segment, &c.segment_size, size)) {
        LogPrint(KoServiceName, "ERR", "Stop OUT Service. Because Cannot Create Segment Memory(%d).\n,%s,%05d",
                 static_cast<int>(size), kKorecode, korecode_line::kOutSegmentMemory);
        return false;
    }
    uint32_t read = KoTagReadSegment(port.entry, 0, c.segment, size);
    c.tag_status |= read;
    if (read == 0)
        c.driver_status |= DriverCalls.write(&g_record, c.record->index, ref.address, 0, c.segment, size, &ref);
    return true;
}

bool move_points(Cycle &c)
{
    for (int32_t i = 0; i < KoOutPortCount; ++i) {
        const TagRef &ref = TagRefs_Out[i];
        if (ref.enabled != 1)
            continue;
        uint8_t scratch[8] = {};
        PortTag &port = KoOutPortTags[ref.port_index];
        if (ref.access_mode == KO_ACCESS_BIT) {
            if (!IsSegmentType(port.data_type))
                i = write_bit_group(c, i, scratch);
        } else if (!IsSegmentType(port.data_type)) {
            write_value(c, ref, port, scratch);
        } else if (!write_segment(c, ref, port)) {
            return false;
        }
    }
    return true;
}

const Direction kOutput = {
    true,
    &TagRefs_Out,
    &KoOutPortTags,
    &KoOutPortCount,
    "Stop Out Service. Because TagRef(TagRefs_Out) kore I/O Port is NULL.\n,%s,%05d",
    615,
    "Stop OUT Service. Because Cannot Create Segment Memory(%d).\n,%s,%05d",
    589,
    move_points,
};

}  // namespace

void OutServThread(void *thread_record)
{
    RunServiceThread(static_cast<ThreadRecord *>(thread_record), kOutput);
}
