// can_frame.cpp - conversions between the FIFO frame record and the record of
// a standard-format gateway image, and the records of a gateway image.
#include "can_frame.h"

#include <cstring>

namespace {
constexpr uint16_t kStdDlcMask = 0x000F;
constexpr uint16_t kStdRtr = 0x0010;
constexpr unsigned kStdIdShift = 5;
}  // namespace

extern "C" void CanFrameFromStd(const CAN_COMM_DATA_EL6751_STD *in, CAN_COMM_DATA_EL6751_EXT *out)
{
    uint16_t header = in->header;
    out->length = static_cast<uint16_t>(header & kStdDlcMask);
    uint32_t id = static_cast<uint32_t>(header >> kStdIdShift) & CAN_ID_STD_MASK;
    if ((header & kStdRtr) != 0)
        id |= CAN_ID_RTR;
    out->id = id;
    std::memcpy(out->data, in->data, sizeof out->data);
}

extern "C" void CanFrameToStd(const CAN_COMM_DATA_EL6751_EXT *in, CAN_COMM_DATA_EL6751_STD *out)
{
    uint32_t id = in->id;
    uint16_t header = static_cast<uint16_t>((id & CAN_ID_STD_MASK) << kStdIdShift);
    if ((id & CAN_ID_RTR) != 0)
        header |= kStdRtr;
    header |= static_cast<uint16_t>(in->length & kStdDlcMask);
    out->header = header;
    std::memcpy(out->data, in->data, sizeof out->data);
}

extern "C" void CanImageRecordGet(const uint8_t *records, int standard, unsigned m, CAN_COMM_DATA_EL6751_EXT *out)
{
    if (standard) {
        CAN_COMM_DATA_EL6751_STD record;
        std::memcpy(&record, records + m * sizeof record, sizeof record);
        CanFrameFromStd(&record, out);
    } else {
        std::memcpy(out, records + m * sizeof *out, sizeof *out);
    }
}

extern "C" void CanImageRecordPut(uint8_t *records, int standard, unsigned m, const CAN_COMM_DATA_EL6751_EXT *in)
{
    if (standard) {
        CAN_COMM_DATA_EL6751_STD record;
        CanFrameToStd(in, &record);
        std::memcpy(records + m * sizeof record, &record, sizeof record);
    } else {
        std::memcpy(records + m * sizeof *in, in, sizeof *in);
    }
}
