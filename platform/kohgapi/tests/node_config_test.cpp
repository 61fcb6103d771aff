// The node config: errors that name file, line, column and key; the limits;
// a new store seeded from it; the I/O point tables of a service.
#include "kohgapi.h"
#include "node_config.h"
#include "service.h"
#include "test_node.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string error_of(const std::string &text)
{
    ko::NodeConfig config;
    std::string error;
    EXPECT_FALSE(ko::parse_node_config(text, "node.toml", config, error)) << text;
    return error;
}

TEST(NodeConfig, ErrorsNameFileLineColumnAndKey)
{
    struct Row {
        const char *what;
        const char *text;
        const char *expected;  // the message starts with this
    } rows[] = {
        {"syntax error", "[node]\nname = \"a\nx", "node.toml:2:"},
        {"unknown key", "[node]\nname = \"a\"\ncolour = 3\n", "node.toml:3:1: node.colour: unknown key"},
        {"unknown type", "[[tag]]\nname = \"A\"\ntype = \"u7\"\n", "node.toml:3:8: tag[0].type: unknown type \"u7\""},
        {"overlong service name", "[[service]]\nname = \"ABCDEFGHIJKLMNOPQR\"\n",
         "node.toml:2:8: service[0].name: service name \"ABCDEFGHIJKLMNOPQR\" is 18 characters; the limit "
         "is 17"},
        {"overlong short name", "[[service]]\nname = \"ECAT\"\nshort_name = \"ABCDEFGH\"\n",
         "node.toml:3:14: service[0].short_name: short name \"ABCDEFGH\" is 8 characters; the limit is 7"},
        {"overlong tag name", "[[tag]]\nname = \"T2345678901234567890123456789012345678901234567890123\"\ntype = \"u8\"\n",
         "node.toml:2:8: tag[0].name: tag name"},
        {"duplicate tag", "[[tag]]\nname = \"A\"\ntype = \"u8\"\n[[tag]]\nname = \"A\"\ntype = \"i32\"\n",
         "node.toml:5:8: tag[1].name: duplicate tag \"A\""},
        {"unknown point key", "[[service]]\nname = \"M\"\n[[service.input]]\ntag = \"A\"\naddress = 1\naccess = \"bit\"\nbitt = 1\n",
         "node.toml:7:1: service[0].input[0].bitt: unknown key"},
        {"bad access", "[[service]]\nname = \"M\"\n[[service.output]]\ntag = \"A\"\naddress = 1\naccess = \"word\"\n",
         "node.toml:6:10: service[0].output[0].access: expected \"bit\", \"value\" or \"segment\""},
        {"bit out of range", "[[service]]\nname = \"M\"\n[[service.input]]\ntag = \"A\"\naddress = 1\naccess = \"bit\"\nbit = 16\n",
         "node.toml:7:7: service[0].input[0].bit: 16 is out of range 0 to 15"},
        {"segment without size", "[[tag]]\nname = \"S\"\ntype = \"segment\"\n", "node.toml:1:1: tag[0].size: missing"},
    };
    for (const Row &r : rows) {
        std::string error = error_of(r.text);
        EXPECT_EQ(error.rfind(r.expected, 0), 0u) << r.what << "\n  got: " << error;
    }
}

TEST(NodeConfig, LimitsAtTheEdge)
{
    ko::NodeConfig config;
    std::string error;
    std::string text = "[[service]]\nname = \"ABCDEFGHIJKLMNOPQ\"\nshort_name = \"ABCDEFG\"\n"
                       "[[tag]]\nname = \"T23456789012345678901234567890123456789012345678901\"\ntype = \"u8\"\n";
    ASSERT_TRUE(ko::parse_node_config(text, "node.toml", config, error)) << error;
    EXPECT_EQ(config.services[0].name.size(), 17u);
    EXPECT_EQ(config.tags[0].name.size(), 51u);
}

const char *kNode = R"(
[node]
name = "test"

[[tag]]
name = "Line1.Speed"
type = "f32"
value = 1.5
description = "conveyor speed"

[[tag]]
name = "Line1.Block"
type = "segment"
size = 16

[[service]]
name = "ECAT_1"
short_name = "ECAT1"
driver = "ecatlink.rsl"
settings = { Mode = 1, UseWait = 1 }
properties = { NodeName = { Address = "local" } }

[[service.input]]
tag = "Line1.Button"
address = 4
access = "bit"
bit = 3

[[service.input]]
tag = "Line1.Block"
address = 32
access = "segment"

[[service.output]]
tag = "Line1.Lamp"
address = 8
access = "value"
type = "u16"
enabled = false
)";

TEST(NodeConfig, NewStoreIsSeededFromTheConfig)
{
    testnode::write_node_config(kNode);
    float speed = 0;
    ASSERT_EQ(KoTagRead("Line1.Speed", &speed, 4), KO_OK) << KoStoreError();
    EXPECT_EQ(speed, 1.5f);
    char text[64];
    ASSERT_EQ(KoTagGetProperty("Line1.Speed", "Description", text, sizeof text), KO_OK);
    EXPECT_STREQ(text, "conveyor speed");
    uint8_t mode = 0;
    ASSERT_EQ(KoTagRead("SERVICE.ECAT_1.Mode", &mode, 1), KO_OK);
    EXPECT_EQ(mode, 1);
    ASSERT_EQ(KoTagGetProperty("SERVICE.ECAT_1.NodeName", "address", text, sizeof text), KO_OK);
    EXPECT_STREQ(text, "local");
}

TEST(NodeConfig, ServicePointTablesAreBuiltFromTheConfig)
{
    testnode::write_node_config(kNode);
    ko::bind_service("ECAT_1");
    EXPECT_STREQ(KoServiceName, "ECAT_1");
    EXPECT_STREQ(KoServiceShortName, "ECAT1");
    EXPECT_STREQ(KoServiceStatusTag, "SERVICE.ECAT_1.Status");
    EXPECT_STREQ(KoServiceLiveTag, "SERVICE.ECAT_1.Live");
    ASSERT_EQ(KoInPortCount, 2);
    ASSERT_EQ(KoOutPortCount, 1);

    const auto *raw = reinterpret_cast<const uint8_t *>(TagRefs_IN);
    uint32_t address;
    std::memcpy(&address, raw + 534, 4);
    EXPECT_EQ(address, 4u);
    EXPECT_EQ(raw[538], 1) << "bit point";
    EXPECT_EQ(raw[539], 3) << "bit number";
    EXPECT_EQ(raw[543], 1) << "enabled";
    EXPECT_STREQ(TagRefs_IN[0].tag_name, "Line1.Button");
    EXPECT_EQ(int32_t{TagRefs_IN[1].port_index}, 1);
    EXPECT_EQ(uint16_t{KoInPortTags[1].data_type}, KO_TYPE_SEGMENT);
    EXPECT_EQ(uint16_t{KoInPortTags[1].data_size}, 16);
    uint32_t entry = 0;
    ASSERT_EQ(KoTagGetProperty("Line1.Block", "Entry", &entry, 4), KO_OK);
    EXPECT_EQ(uint32_t{KoInPortTags[1].entry}, entry);
    EXPECT_EQ(uint16_t{KoOutPortTags[0].data_type}, KO_TYPE_U16);
    EXPECT_EQ(uint16_t{KoOutPortTags[0].data_size}, 2);
    EXPECT_EQ(uint8_t{TagRefs_Out[0].enabled}, 0);
}

TEST(NodeConfig, ServiceTheConfigDoesNotNameRunsWithoutPoints)
{
    ko::bind_service("LONGSERVICENAME");
    EXPECT_STREQ(KoServiceShortName, "LONGSER");
    EXPECT_EQ(KoInPortCount, 0);
    EXPECT_EQ(TagRefs_IN, nullptr);
    EXPECT_EQ(KoOutPortTags, nullptr);
}

}  // namespace
