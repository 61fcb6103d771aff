// The CAN frame records and their conversions, bit by bit.
#include "can_frame.h"

#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(CanFrame, RecordsAreLaidOutByteForByte)
{
    CAN_COMM_DATA_EL6751_EXT ext{};
    ext.length = 0x0201;
    ext.id = 0x86050403u;
    for (int i = 0; i < 8; ++i)
        ext.data[i] = static_cast<uint8_t>(0x10 + i);
    const uint8_t expected[14] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x86, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    EXPECT_EQ(std::memcmp(&ext, expected, sizeof expected), 0);

    CAN_COMM_DATA_EL6751_STD std_frame{};
    std_frame.header = 0xA1B2;
    std_frame.data[7] = 0x77;
    const auto *bytes = reinterpret_cast<const uint8_t *>(&std_frame);
    EXPECT_EQ(bytes[0], 0xB2);
    EXPECT_EQ(bytes[1], 0xA1);
    EXPECT_EQ(bytes[9], 0x77);
}

TEST(CanFrame, EveryStandardHeaderConverts)
{
    for (uint32_t header = 0; header <= 0xFFFF; ++header) {
        CAN_COMM_DATA_EL6751_STD in{};
        in.header = static_cast<uint16_t>(header);
        for (int i = 0; i < 8; ++i)
            in.data[i] = static_cast<uint8_t>(header + i);
        CAN_COMM_DATA_EL6751_EXT out;
        std::memset(&out, 0xFF, sizeof out);
        CanFrameFromStd(&in, &out);
        ASSERT_EQ(uint32_t{out.length}, header & 0xF) << header;
        uint32_t expected_id = ((header >> 5) & 0x7FF) | ((header & 0x10) ? CAN_ID_RTR : 0);
        ASSERT_EQ(uint32_t{out.id}, expected_id) << header;
        ASSERT_EQ(out.id & (CAN_ID_EXTENDED | (1u << 29)), 0u) << "bits 31 and 29 must be clear";
        ASSERT_EQ(std::memcmp(out.data, in.data, 8), 0);

        CAN_COMM_DATA_EL6751_STD back{};
        CanFrameToStd(&out, &back);
        ASSERT_EQ(uint16_t{back.header}, uint16_t{in.header}) << "round trip of " << header;
    }
}

TEST(CanFrame, EachIdAndLengthBitToStandard)
{
    for (int bit = 0; bit < 32; ++bit) {
        CAN_COMM_DATA_EL6751_EXT in{};
        in.id = 1u << bit;
        CAN_COMM_DATA_EL6751_STD out{};
        CanFrameToStd(&in, &out);
        uint16_t expected = 0;
        if (bit <= 10)
            expected = static_cast<uint16_t>(1u << (bit + 5));
        else if (bit == 30)
            expected = 0x10;
        EXPECT_EQ(uint16_t{out.header}, expected) << "id bit " << bit;
    }
    for (int bit = 0; bit < 16; ++bit) {
        CAN_COMM_DATA_EL6751_EXT in{};
        in.length = static_cast<uint16_t>(1u << bit);
        CAN_COMM_DATA_EL6751_STD out{};
        CanFrameToStd(&in, &out);
        EXPECT_EQ(uint32_t{out.header}, bit < 4 ? (1u << bit) : 0u) << "length bit " << bit;
    }
}

TEST(CanFrame, ExtendedFrameToStandardKeepsLowElevenBits)
{
    CAN_COMM_DATA_EL6751_EXT in{};
    in.length = 8;
    in.id = CAN_ID_EXTENDED | 0x1ABCDE12u;
    std::memcpy(in.data, "ABCDEFGH", 8);
    CAN_COMM_DATA_EL6751_STD out{};
    CanFrameToStd(&in, &out);
    EXPECT_EQ(out.header >> 5, 0x612);
    EXPECT_EQ(out.header & 0x1F, 8);
    EXPECT_EQ(std::memcmp(out.data, "ABCDEFGH", 8), 0);
}

}  // namespace
