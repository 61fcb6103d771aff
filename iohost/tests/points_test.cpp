// The point helpers: sort order, bit groups, single bits.
#include "iohost.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

TagRef ref(uint32_t address, uint16_t bit, uint8_t access = 1)
{
    TagRef r{};
    r.address = address;
    r.bit_number = bit;
    r.access_mode = access;
    return r;
}

TEST(Points, SortByAddressThenBit)
{
    std::vector<TagRef> refs = {ref(4, 14), ref(1, 0, 2), ref(4, 2), ref(4, 9), ref(0xFFFFFFFF, 0)};
    refs[0].port_index = 0;
    refs[2].port_index = 2;
    SortTagRefs(refs.data(), static_cast<int32_t>(refs.size()));
    uint32_t expected_address[] = {1, 4, 4, 4, 0xFFFFFFFF};
    uint16_t expected_bit[] = {0, 2, 9, 14, 0};
    for (size_t i = 0; i < refs.size(); ++i) {
        EXPECT_EQ(uint32_t{refs[i].address}, expected_address[i]);
        EXPECT_EQ(uint16_t{refs[i].bit_number}, expected_bit[i]);
    }
    EXPECT_EQ(int32_t{refs[1].port_index}, 2) << "each record keeps its port";
    EXPECT_EQ(int32_t{refs[3].port_index}, 0);

    TagRef a = ref(1, 1), b = ref(1, 1), c = ref(1, 2);
    EXPECT_EQ(CompareTagRefs(&a, &b), 0) << "equal keys compare equal";
    EXPECT_EQ(CompareTagRefs(&a, &c), -CompareTagRefs(&c, &a)) << "antisymmetric";
    EXPECT_EQ(CompareTagRefs(nullptr, nullptr), 0);
    EXPECT_EQ(CompareTagRefs(nullptr, &a), -1);
    EXPECT_EQ(CompareTagRefs(&a, nullptr), 1);

    // Many points, keys repeated: the result is sorted whatever qsort does with equal keys.
    std::vector<TagRef> many;
    for (uint32_t i = 0; i < 500; ++i)
        many.push_back(ref((i * 7919) % 37, static_cast<uint16_t>((i * 31) % 3)));
    SortTagRefs(many.data(), static_cast<int32_t>(many.size()));
    for (size_t i = 1; i < many.size(); ++i)
        ASSERT_LE(CompareTagRefs(&many[i - 1], &many[i]), 0) << "sorted at " << i;
}

TEST(Points, GroupsAreBitPointsOfOneAddress)
{
    TagRef refs[] = {ref(4, 0), ref(4, 1), ref(5, 0), ref(5, 1, 2), ref(5, 2)};
    EXPECT_TRUE(SameAddressFollows(0, 5, refs));
    EXPECT_FALSE(SameAddressFollows(1, 5, refs));
    EXPECT_TRUE(SameAddressFollows(2, 5, refs));
    EXPECT_FALSE(SameAddressFollows(3, 5, refs)) << "the record itself must be a bit point";
    EXPECT_FALSE(SameAddressFollows(4, 5, refs)) << "nothing after the last";
}

TEST(Points, GetAndPutBits)
{
    uint16_t item = 0x4004;
    uint16_t value = 0xFFFF;
    ASSERT_TRUE(GetBit(&value, 2, &item, 2, 14));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(GetBit(&value, 2, &item, 2, 9));
    EXPECT_EQ(value, 0);
    uint8_t byte_value = 0xFF;
    ASSERT_TRUE(GetBit(&byte_value, 1, &item, 2, 2));
    EXPECT_EQ(byte_value, 1);
    EXPECT_FALSE(GetBit(&value, 1, &item, 2, 9)) << "a high bit needs two bytes of value";
    EXPECT_FALSE(GetBit(&value, 2, &item, 1, 9)) << "and two bytes of item";
    EXPECT_FALSE(GetBit(nullptr, 2, &item, 2, 1));

    uint8_t fc = 0xFC;
    uint8_t one = 1, zero = 0;
    ASSERT_TRUE(PutBit(&fc, 1, &one, 1, 0));
    ASSERT_TRUE(PutBit(&fc, 1, &zero, 1, 1));
    EXPECT_EQ(fc, 0xFD);
    uint16_t word = 0;
    uint16_t set = 0x0100;  // non-zero in its first 16 bits
    ASSERT_TRUE(PutBit(&word, 2, &set, 2, 15));
    EXPECT_EQ(word, 0x8000);
    EXPECT_FALSE(PutBit(&fc, 1, &one, 1, 8)) << "a one-byte item has no bit 8";
    EXPECT_EQ(fc, 0xFD);
}

TEST(Points, SegmentBufferGrowsToTheLargestSegment)
{
    PortTag ports[3] = {};
    ports[0].data_type = KO_TYPE_SEGMENT;
    ports[0].data_size = 16;
    ports[1].data_type = KO_TYPE_I32;
    ports[1].data_size = 400;
    ports[2].data_type = KO_TYPE_SEGMENT13;
    ports[2].data_size = 64;
    uint8_t *buffer = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(AllocSegmentBuffer(&buffer, &size, ports, 3));
    EXPECT_EQ(size, 64u);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(EnsureSegmentBuffer(&buffer, &size, 32));
    EXPECT_EQ(size, 64u) << "never smaller";
    EXPECT_TRUE(EnsureSegmentBuffer(&buffer, &size, 128));
    EXPECT_EQ(size, 128u);
    std::free(buffer);
}

}  // namespace
