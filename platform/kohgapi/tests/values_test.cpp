// Tag values: creation, raw and converted reads and writes, properties,
// segments, misuse, the store header check.
#include "kohgapi.h"
#include "store.h"
#include "test_node.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace {

uint32_t entry_of(const char *name)
{
    uint32_t entry = 0;
    EXPECT_EQ(KoTagGetProperty(name, "Entry", &entry, 4), KO_OK) << name;
    return entry;
}

TEST(Tags, WriteOfAMissingTagCreatesItWithTheWidthWritten)
{
    struct Row {
        const char *name;
        uint32_t size;
        uint16_t type;
    } rows[] = {{"W.One", 1, KO_TYPE_U8}, {"W.Two", 2, KO_TYPE_U16}, {"W.Four", 4, KO_TYPE_I32}, {"W.Eight", 8, KO_TYPE_I64}};
    for (const Row &r : rows) {
        uint64_t value = 0x2A;
        ASSERT_EQ(KoTagWrite(r.name, &value, r.size), KO_OK) << r.name;
        uint32_t type = 0;
        ASSERT_EQ(KoTagGetProperty(r.name, "type", &type, 4), KO_OK);
        EXPECT_EQ(type, r.type) << r.name;
        uint64_t back = 0;
        ASSERT_EQ(KoTagRead(r.name, &back, r.size), KO_OK);
        EXPECT_EQ(back, 0x2Au);
    }
    uint8_t three[3] = {};
    EXPECT_EQ(KoTagWrite("W.Three", three, 3), KO_E_SIZE);
    EXPECT_EQ(KoTagRead("W.Three", three, 1), KO_E_NOT_FOUND);
}

TEST(Tags, EntriesAreStableAndNeverZero)
{
    ASSERT_EQ(KoTagCreateEx("E.A", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    ASSERT_EQ(KoTagCreateEx("E.B", KO_TYPE_F32, "", "second"), KO_OK);
    uint32_t a = entry_of("E.A"), b = entry_of("E.B");
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, a);
    ASSERT_EQ(KoTagCreateEx("E.A", KO_TYPE_I32, nullptr, nullptr), KO_OK) << "same type again: same tag";
    EXPECT_EQ(entry_of("E.A"), a);
    EXPECT_EQ(KoTagCreateEx("E.A", KO_TYPE_U8, nullptr, nullptr), KO_E_EXISTS);
    KoTagInfo info{};
    ASSERT_EQ(KoTagGetInfo(b, &info), KO_OK);
    EXPECT_STREQ(info.name, "E.B");
    EXPECT_EQ(info.type, KO_TYPE_F32);
    EXPECT_EQ(KoTagCount(), 2u);
}

TEST(Tags, ConversionsBetweenWidthsAndRangeErrors)
{
    ASSERT_EQ(KoTagCreateEx("C.U8", KO_TYPE_U8, nullptr, nullptr), KO_OK);
    ASSERT_EQ(KoTagCreateEx("C.I32", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    ASSERT_EQ(KoTagCreateEx("C.F32", KO_TYPE_F32, nullptr, nullptr), KO_OK);
    ASSERT_EQ(KoTagCreateEx("C.I16", KO_TYPE_I16, nullptr, nullptr), KO_OK);

    uint32_t u32 = 200;
    EXPECT_EQ(KoTagWrite("C.U8", &u32, 4), KO_OK);
    uint8_t u8 = 0;
    EXPECT_EQ(KoTagRead("C.U8", &u8, 1), KO_OK);
    EXPECT_EQ(u8, 200);
    u32 = 256;
    EXPECT_EQ(KoTagWrite("C.U8", &u32, 4), KO_E_RANGE);
    EXPECT_EQ(KoTagRead("C.U8", &u8, 1), KO_OK);
    EXPECT_EQ(u8, 200) << "a refused write must leave the value";

    int32_t i32 = -1;
    EXPECT_EQ(KoTagWrite("C.I32", &i32, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.I32", &u8, 1), KO_OK);
    EXPECT_EQ(u8, 0xFF) << "-1 in one byte";
    i32 = 300;
    EXPECT_EQ(KoTagWrite("C.I32", &i32, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.I32", &u8, 1), KO_E_RANGE) << "300 does not fit one byte";
    i32 = 148;  // a priority held in a 32-bit tag, read and written as one byte
    EXPECT_EQ(KoTagWrite("C.I32", &i32, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.I32", &u8, 1), KO_OK);
    EXPECT_EQ(u8, 148);
    u8 = 200;
    EXPECT_EQ(KoTagWrite("C.I32", &u8, 1), KO_OK);
    EXPECT_EQ(KoTagRead("C.I32", &i32, 4), KO_OK);
    EXPECT_EQ(i32, 200) << "a byte is taken unsigned when that fits";
    int16_t i16 = 0;
    uint32_t all_ones = 0xFFFFFFFF;  // fits a 16-bit signed tag only as -1
    EXPECT_EQ(KoTagWrite("C.I16", &all_ones, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.I16", &i16, 2), KO_OK);
    EXPECT_EQ(i16, -1);

    float f = 2.0f;
    EXPECT_EQ(KoTagWrite("C.F32", &f, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.F32", &u8, 1), KO_OK);
    EXPECT_EQ(u8, 2);
    f = 2.5f;
    EXPECT_EQ(KoTagWrite("C.F32", &f, 4), KO_OK);
    EXPECT_EQ(KoTagRead("C.F32", &u8, 1), KO_E_RANGE) << "2.5 is not an integer";
    uint8_t seven = 7;
    EXPECT_EQ(KoTagWrite("C.F32", &seven, 1), KO_OK);
    EXPECT_EQ(KoTagRead("C.F32", &f, 4), KO_OK);
    EXPECT_EQ(f, 7.0f);
}

TEST(Tags, PropertiesAreCaseInsensitive)
{
    ASSERT_EQ(KoTagCreateEx("P.NodeName", KO_TYPE_U8, "", "node of the master"), KO_OK);
    ASSERT_EQ(KoTagSetProperty("P.NodeName", "Address", "192.168.0.10"), KO_OK);
    char text[513] = {};
    ASSERT_EQ(KoTagGetProperty("P.NodeName", "address", text, sizeof text), KO_OK);
    EXPECT_STREQ(text, "192.168.0.10");
    ASSERT_EQ(KoTagSetProperty("P.NodeName", "ADDRESS", "local"), KO_OK);
    ASSERT_EQ(KoTagGetProperty("P.NodeName", "Address", text, sizeof text), KO_OK);
    EXPECT_STREQ(text, "local");
    ASSERT_EQ(KoTagGetProperty("P.NodeName", "DESCRIPTION", text, sizeof text), KO_OK);
    EXPECT_STREQ(text, "node of the master");
    char small[4];
    ASSERT_EQ(KoTagGetProperty("P.NodeName", "description", small, sizeof small), KO_OK);
    EXPECT_STREQ(small, "nod") << "cut to the buffer, terminated";
    EXPECT_EQ(KoTagGetProperty("P.NodeName", "Colour", text, sizeof text), KO_E_PROPERTY);
    EXPECT_EQ(KoTagSetProperty("P.NodeName", "Entry", "5"), KO_E_PROPERTY);
}

TEST(Tags, SegmentsByOffsetKeepTheirSource)
{
    uint32_t entry = 0;
    char work[49];
    ASSERT_EQ(KoTagCreateSegment("S.Image", 13, 7, "ECAT/143", "device state", work, sizeof work, &entry), KO_OK);
    ASSERT_EQ(entry, entry_of("S.Image"));
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(KoTagWriteSegment(entry, 4, bytes, 3), KO_OK);
    EXPECT_EQ(KoTagWriteSegment(entry, 5, bytes, 3), KO_E_SIZE) << "past the end";
    uint8_t image[7] = {};
    EXPECT_EQ(KoTagReadByEntry(entry, image, 7), KO_OK);
    const uint8_t expected[7] = {0, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(std::memcmp(image, expected, 7), 0);
    uint8_t two[2] = {};
    EXPECT_EQ(KoTagReadSegment(entry, 5, two, 2), KO_OK);
    EXPECT_EQ(two[1], 3);
    char source[32] = {};
    ASSERT_EQ(KoTagGetProperty("S.Image", "source", source, sizeof source), KO_OK);
    EXPECT_STREQ(source, "ECAT/143");
}

TEST(Tags, MisuseGivesClearResults)
{
    ASSERT_EQ(KoTagCreateEx("M.Value", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    uint32_t value = entry_of("M.Value");
    std::string long_name(52, 'x');
    uint32_t buffer[4] = {};
    struct Row {
        const char *what;
        uint32_t result;
        uint32_t expected;
    } rows[] = {
        {"entry 0", KoTagReadByEntry(0, buffer, 4), KO_E_ENTRY},
        {"entry past the last", KoTagWriteByEntry(value + 1, buffer, 4), KO_E_ENTRY},
        {"entry far out", KoTagReadByEntry(0xFFFFFFFF, buffer, 4), KO_E_ENTRY},
        {"odd size", KoTagReadByEntry(value, buffer, 3), KO_E_SIZE},
        {"too large", KoTagWriteByEntry(value, buffer, 16), KO_E_SIZE},
        {"null buffer", KoTagReadByEntry(value, nullptr, 4), KO_E_ARGUMENT},
        {"missing tag", KoTagRead("M.Missing", buffer, 4), KO_E_NOT_FOUND},
        {"missing property owner", KoTagGetProperty("M.Missing", "Entry", buffer, 4), KO_E_NOT_FOUND},
        {"52-character name", KoTagCreateEx(long_name.c_str(), KO_TYPE_U8, nullptr, nullptr), KO_E_NAME},
        {"empty name", KoTagCreateEx("", KO_TYPE_U8, nullptr, nullptr), KO_E_NAME},
        {"unknown type", KoTagCreateEx("M.T", 99, nullptr, nullptr), KO_E_TYPE},
        {"FIFO put on a value", KoTagPutFIFO(value, buffer, 4, nullptr), KO_E_KIND},
        {"FIFO get on a value", KoTagGetFIFO(value, buffer, 4, nullptr), KO_E_KIND},
        {"FIFO count on a value", KoTagGetFIFOCount(value, buffer), KO_E_KIND},
        {"segment read on a value", KoTagReadSegment(value, 0, buffer, 4), KO_E_KIND},
        {"segment of size 0", KoTagCreateSegment("M.S", 12, 0, nullptr, nullptr, nullptr, 0, nullptr), KO_E_SIZE},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.result, r.expected) << r.what << ": " << KoStatusText(r.result);
    std::string fifty_one(51, 'y');
    EXPECT_EQ(KoTagCreateEx(fifty_one.c_str(), KO_TYPE_U8, nullptr, nullptr), KO_OK) << "51 characters is the limit";
}

TEST(Tags, RewritingAPropertyTakesBoundedSpace)
{
    ASSERT_EQ(KoTagCreateEx("P.Tag", KO_TYPE_U8, nullptr, nullptr), KO_OK);
    ASSERT_EQ(KoTagSetProperty("P.Tag", "Address", "first"), KO_OK);
    uint64_t used = ko::store()->header->data_used.load();
    char text[64];
    for (int i = 0; i < 1000000; ++i) {
        // Texts of 1 to 40 characters, so records outgrow each other.
        std::string value(static_cast<size_t>(1 + i % 40), static_cast<char>('a' + i % 26));
        ASSERT_EQ(KoTagSetProperty("P.Tag", i % 2 ? "address" : "Address", value.c_str()), KO_OK) << i;
    }
    ASSERT_EQ(KoTagGetProperty("P.Tag", "Address", text, sizeof text), KO_OK);
    EXPECT_EQ(std::string(text), std::string(40, static_cast<char>('a' + 999999 % 26)));
    EXPECT_LE(ko::store()->header->data_used.load() - used, 1024u);
}

TEST(Tags, ACreationThatFailsLeavesNothingBehind)
{
    uint32_t count = KoTagCount();
    // Larger than the data area: nothing of it may remain.
    EXPECT_EQ(KoTagCreateSegment("P.Huge", KO_TYPE_SEGMENT, 48u << 20, nullptr, nullptr, nullptr, 0, nullptr),
              KO_E_FULL);
    EXPECT_EQ(KoTagCount(), count);
    uint8_t v;
    EXPECT_EQ(KoTagRead("P.Huge", &v, 1), KO_E_NOT_FOUND);
    // The space a failed creation took is free again.
    uint32_t entry = 0;
    EXPECT_EQ(KoTagCreateSegment("P.Big", KO_TYPE_SEGMENT, 30u << 20, nullptr, "fits", nullptr, 0, &entry), KO_OK);
    EXPECT_EQ(KoTagCount(), count + 1);
    std::string long_text(5000, 'd');
    EXPECT_EQ(KoTagCreateEx("P.Described", KO_TYPE_U8, nullptr, long_text.c_str()), KO_E_ARGUMENT);
    EXPECT_EQ(KoTagRead("P.Described", &v, 1), KO_E_NOT_FOUND);
}

TEST(Store, RefusesAStoreOfAnotherLayoutNamingBothVersions)
{
    std::string path = testnode::node_dir() + "/tags.store";
    {
        std::ofstream out(path, std::ios::binary);
        ko::StoreHeader header{};
        header.magic.store(ko::kStoreMagic);
        header.version = 99;
        out.write(reinterpret_cast<const char *>(&header), sizeof header);
    }
    uint8_t v = 1;
    EXPECT_EQ(KoTagWrite("X", &v, 1), KO_E_STORE);
    std::string error = KoStoreError();
    EXPECT_NE(error.find("layout version 99"), std::string::npos) << error;
    EXPECT_NE(error.find("layout version " + std::to_string(ko::kStoreVersion)), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

}  // namespace

namespace {

// The header inlines by-entry calls of a value tag's own size; every other
// case goes to the library. Both must see one value and give one answer.
TEST(Tags, InlineByEntryCallsAgreeWithTheLibrary)
{
    struct Row {
        const char *name;
        uint32_t type, size;
        uint64_t value;
    } rows[] = {{"I.U8", KO_TYPE_U8, 1, 0xA5}, {"I.I16", KO_TYPE_I16, 2, 0x8001},
                {"I.F32", KO_TYPE_F32, 4, 0x3FC00000}, {"I.U64", KO_TYPE_U64, 8, 0xFEDCBA9876543210ull}};
    for (const Row &r : rows) {
        ASSERT_EQ(KoTagCreateEx(r.name, r.type, nullptr, nullptr), KO_OK);
        uint32_t entry = entry_of(r.name);
        uint64_t in = r.value, out = 0;
        ASSERT_EQ(KoTagWriteByEntry(entry, &in, r.size), KO_OK) << r.name;
        ASSERT_EQ(KoTagReadByEntryCall(entry, &out, r.size), KO_OK);
        EXPECT_EQ(out, r.value) << r.name << ": the inline write, read by the library";
        in = ~r.value & (r.size == 8 ? ~0ull : (1ull << (8 * r.size)) - 1);
        out = 0x1111111111111111ull;
        ASSERT_EQ(KoTagWriteByEntryCall(entry, &in, r.size), KO_OK);
        ASSERT_EQ(KoTagReadByEntry(entry, &out, r.size), KO_OK);
        uint64_t untouched = r.size == 8 ? 0 : 0x1111111111111111ull & ~((1ull << (8 * r.size)) - 1);
        EXPECT_EQ(out, in | untouched) << r.name << ": the library's write, read inline, only its own bytes";
    }
    // A width other than the tag's converts in the library, inline or not.
    uint32_t entry = entry_of("I.U64");
    uint32_t small = 7, back = 0;
    EXPECT_EQ(KoTagWriteByEntry(entry, &small, 4), KO_OK);
    EXPECT_EQ(KoTagReadByEntry(entry, &back, 4), KO_OK);
    EXPECT_EQ(back, 7u);
    EXPECT_EQ(KoTagRead("I.U64", &back, 4), KO_OK);
    EXPECT_EQ(back, 7u);
}

TEST(Tags, AtomicAddsWrapAtTheTagsWidthAndRefuseOtherKinds)
{
    struct Case {
        uint16_t type;
        uint64_t start;
        int64_t delta;
        uint64_t expected;
        uint32_t status;
    } cases[] = {
        {KO_TYPE_U8, 255, 1, 0, KO_OK},
        {KO_TYPE_I16, 0xFFFF, 1, 0, KO_OK},          // -1 + 1
        {KO_TYPE_U32, 0, -1, 0xFFFFFFFF, KO_OK},
        {KO_TYPE_I32, 41, 1, 42, KO_OK},
        {KO_TYPE_U64, ~0ull, 2, 1, KO_OK},
        {KO_TYPE_F32, 0, 1, 0, KO_E_KIND},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string name = "Add.Case" + std::to_string(n++);
        ASSERT_EQ(KoTagCreateEx(name.c_str(), c.type, "", ""), KO_OK);
        uint32_t entry = 0;
        KoTagGetProperty(name.c_str(), "Entry", &entry, 4);
        uint32_t width = c.type == KO_TYPE_U8 ? 1 : c.type == KO_TYPE_I16 ? 2 : c.type == KO_TYPE_U64 ? 8 : 4;
        ASSERT_EQ(KoTagWriteByEntry(entry, &c.start, width), KO_OK) << name;
        uint64_t value = 7;
        EXPECT_EQ(KoTagAddByEntry(entry, c.delta, &value), c.status) << name;
        if (c.status == KO_OK) {
            EXPECT_EQ(value, c.expected) << name;
        }
    }
    uint32_t fifo = 0;
    char work[49];
    ASSERT_EQ(KoTagCreateFIFO("Add.Fifo", 14, 4, nullptr, "", work, sizeof work, &fifo), KO_OK);
    EXPECT_EQ(KoTagAddByEntry(fifo, 1, nullptr), KO_E_KIND);
}

}  // namespace
