// The node config: errors that name file, line, column and key; the limits;
// a new store seeded from it; the I/O point tables of a service.
#include "kohgapi.h"
#include "node_config.h"
#include "test_node.h"

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
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

TEST(NodeConfig, ValuesTypesAndLimitsAreCheckedAtLoad)
{
    std::string many_settings = "[[service]]\nname = \"M\"\n[service.settings]\n";
    for (int i = 0; i < 20000; ++i)
        many_settings += "K" + std::to_string(i) + " = 1\n";
    std::string long_property(32, 'p');
    struct Row {
        const char *what;
        std::string text;
        const char *expected;
    } rows[] = {
        {"300 into u8", "[[tag]]\nname = \"A\"\ntype = \"u8\"\nvalue = 300\n",
         "node.toml:4:9: tag[0].value: 300 is out of range 0 to 255 (type u8)"},
        {"1.5 into i32", "[[tag]]\nname = \"A\"\ntype = \"i32\"\nvalue = 1.5\n",
         "node.toml:4:9: tag[0].value: 1.5 is not an integer (type i32)"},
        {"text into i32", "[[tag]]\nname = \"A\"\ntype = \"i32\"\nvalue = \"ten\"\n",
         "node.toml:4:9: tag[0].value: \"ten\" is not a number (type i32)"},
        {"text longer than its segment", "[[tag]]\nname = \"S\"\ntype = \"segment\"\nsize = 2\nvalue = \"abc\"\n",
         "node.toml:5:9: tag[0].value: the text is 3 bytes; the segment holds 2"},
        {"empty tag name", "[[tag]]\nname = \"\"\ntype = \"u8\"\n", "node.toml:2:8: tag[0].name: cannot be empty"},
        {"fifo larger than the store", "[[tag]]\nname = \"F\"\ntype = \"fifo\"\nrecord_size = 4096\ndepth = 65536\n",
         "node.toml:1:1: tag[0].name: the segments and FIFOs of the config need"},
        {"segment point without size",
         "[[service]]\nname = \"M\"\n[[service.input]]\ntag = \"B\"\naddress = 1\naccess = \"segment\"\n",
         "node.toml:3:1: service[0].input[0].size: missing"},
        {"segment point over 65535",
         "[[service]]\nname = \"M\"\n[[service.input]]\ntag = \"B\"\naddress = 1\naccess = \"segment\"\nsize = 70000\n",
         "node.toml:7:8: service[0].input[0].size: 70000 is out of range 1 to 65535"},
        {"declared segment over 65535 as a point",
         "[[tag]]\nname = \"B\"\ntype = \"segment\"\nsize = 70000\n[[service]]\nname = \"M\"\n[[service.input]]\n"
         "tag = \"B\"\naddress = 1\naccess = \"segment\"\n",
         "node.toml:8:7: service[0].input[0].tag: the segment is 70000 bytes; a segment point moves at most 65535"},
        {"value point of 64 bytes",
         "[[tag]]\nname = \"B\"\ntype = \"segment\"\nsize = 64\n[[service]]\nname = \"M\"\n[[service.output]]\n"
         "tag = \"B\"\naddress = 1\naccess = \"value\"\n",
         "node.toml:8:7: service[0].output[0].tag: a value point moves at most 8 bytes; the tag is a 64-byte segment"},
        {"text setting", "[[service]]\nname = \"M\"\nsettings = { Cycle = \"fast\" }\n",
         "node.toml:3:22: service[0].settings.Cycle: \"fast\" is not a number or true/false"},
        {"fractional setting", "[[service]]\nname = \"M\"\nsettings = { Cycle = 1.5 }\n",
         "node.toml:3:22: service[0].settings.Cycle: 1.5 is not an integer (type i32); a setting is an integer"},
        {"setting that does not fit its declared tag",
         "[[tag]]\nname = \"SERVICE.M.Mode\"\ntype = \"u8\"\n[[service]]\nname = \"M\"\nsettings = { Mode = 900 }\n",
         "node.toml:6:21: service[0].settings.Mode: 900 is out of range 0 to 255 (type u8), as SERVICE.M.Mode is "
         "declared"},
        {"property name of 32", "[[tag]]\nname = \"A\"\ntype = \"u8\"\nproperties = { " + long_property + " = \"x\" }\n",
         "node.toml:4:16: tag[0].properties.pppppppppppppppppppppppppppppppp: property name of 32 characters; the "
         "limit is 31"},
        {"modbus device with address and device", "[[modbus]]\nname = \"m\"\naddress = \"10.0.0.1\"\ndevice = \"/dev/ttyS0\"\n",
         "node.toml:1:1: modbus[0].address: give either address (Modbus TCP) or device (Modbus RTU)"},
        {"modbus address not IPv4", "[[modbus]]\nname = \"m\"\naddress = \"plc.local\"\n",
         "node.toml:3:11: modbus[0].address: \"plc.local\" is not an IPv4 address"},
        {"modbus parity", "[[modbus]]\nname = \"m\"\ndevice = \"/dev/ttyS0\"\nparity = \"mark\"\n",
         "node.toml:4:10: modbus[0].parity: expected \"none\", \"even\" or \"odd\""},
        {"modbus name too long for host", "[[modbus]]\nname = \"boiler_house_15\"\ndevice = \"/dev/ttyS0\"\n",
         "node.toml:2:8: modbus[0].name: Modbus device name \"boiler_house_15\" is 15 characters; the limit is 14"},
        {"ethercat master without bus or interface", "[[ethercat]]\nname = \"line1\"\n",
         "node.toml:1:1: ethercat[0].bus: missing: give bus = FILE (a simulated bus) or interface = NAME"},
        {"ethercat interface too long", "[[ethercat]]\nname = \"a\"\ninterface = \"enp0s31f6-very-long\"\n",
         "node.toml:3:13: ethercat[0].interface: "},
        {"ethercat master name with a dot", "[[ethercat]]\nname = \"line.1\"\nbus = \"b.toml\"\n",
         "node.toml:2:8: ethercat[0].name: \"line.1\" may only hold letters, digits, '_' and '-'"},
        {"ethercat master twice", "[[ethercat]]\nname = \"a\"\nbus = \"b\"\n[[ethercat]]\nname = \"a\"\nbus = \"c\"\n",
         "node.toml:5:8: ethercat[1].name: duplicate EtherCAT master \"a\""},
        {"ethercat unknown key", "[[ethercat]]\nname = \"a\"\nbus = \"b\"\nperiod = 1\n",
         "node.toml:4:1: ethercat[0].period: unknown key"},
        {"more settings than the store holds", many_settings,
         "node.toml:1:1: service[0].settings.K6744: this is tag 16385; the store holds 16384"},
    };
    for (const Row &r : rows) {
        std::string error = error_of(r.text);
        EXPECT_EQ(error.rfind(r.expected, 0), 0u) << r.what << "\n  got: " << error;
    }
}

TEST(NodeConfig, AnEthercatBusFileIsFoundBesideTheConfig)
{
    ko::NodeConfig config;
    std::string error;
    ASSERT_TRUE(ko::parse_node_config("[[ethercat]]\nname = \"line1\"\nbus = \"buses/line1.toml\"\n"
                                      "[[ethercat]]\nname = \"line2\"\nbus = \"/etc/line2.toml\"\n"
                                      "[[ethercat]]\nname = \"wire\"\ninterface = \"eth1\"\n",
                                      "/plant/node.toml", config, error))
        << error;
    EXPECT_EQ(config.ethercat_master("wire")->interface, "eth1");
    EXPECT_EQ(config.ethercat_master("wire")->bus, "") << "a wire master without a bus file expects the default bus";
    EXPECT_EQ(config.ethercat_master("line1")->interface, "");
    ASSERT_NE(config.ethercat_master("line1"), nullptr);
    EXPECT_EQ(config.ethercat_master("line1")->bus, "/plant/buses/line1.toml");
    EXPECT_EQ(config.ethercat_master("line2")->bus, "/etc/line2.toml");
    EXPECT_EQ(config.ethercat_master("line3"), nullptr);
}

TEST(NodeConfig, AConfigThatIsNotARegularFileIsRefusedAtOnce)
{
    std::string path = testnode::node_dir() + "/node.toml";
    ko::NodeConfig config;
    std::string error;
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(ko::load_node_config(path, config, error)) << "a named pipe must not hang the reader";
    EXPECT_EQ(error, path + ":1:1: node config: is not a regular file");
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_FALSE(ko::load_node_config(path, config, error));
    EXPECT_EQ(error, path + ":1:1: node config: is not a regular file");
    EXPECT_EQ(KoTagCount(), 0u);
    EXPECT_NE(std::string(KoStoreError()).find("is not a regular file"), std::string::npos) << KoStoreError();
}

TEST(NodeConfig, ABadConfigLeavesNoStoreAndTheFixedOneSeedsIt)
{
    testnode::write_node_config("[[tag]]\nname = \"A\"\ntype = \"u8\"\nvalue = 300\n");
    uint8_t v = 0;
    EXPECT_EQ(KoTagRead("A", &v, 1), KO_E_STORE);
    EXPECT_NE(std::string(KoStoreError()).find("node.toml:4:9: tag[0].value: 300 is out of range"), std::string::npos)
        << KoStoreError();
    EXPECT_FALSE(std::filesystem::exists(testnode::node_dir() + "/tags.store"));
    testnode::write_node_config("[[tag]]\nname = \"A\"\ntype = \"u8\"\nvalue = 200\n"
                                "[[service]]\nname = \"M\"\nsettings = { Cycle = 10.0, Big = 4000000000, On = true }\n");
    ASSERT_EQ(KoTagRead("A", &v, 1), KO_OK) << KoStoreError();
    EXPECT_EQ(v, 200);
    uint32_t cycle = 0, big = 0, type = 0;
    ASSERT_EQ(KoTagRead("SERVICE.M.Cycle", &cycle, 4), KO_OK);
    EXPECT_EQ(cycle, 10u) << "10.0 is the number 10, not the bits of a float";
    ASSERT_EQ(KoTagRead("SERVICE.M.Big", &big, 4), KO_OK);
    EXPECT_EQ(big, 4000000000u);
    ASSERT_EQ(KoTagGetProperty("SERVICE.M.On", "Type", &type, 4), KO_OK);
    EXPECT_EQ(type, uint32_t{KO_TYPE_U8});
}

TEST(NodeConfig, ASettingOfADeclaredTagTakesItsType)
{
    testnode::write_node_config("[[tag]]\nname = \"SERVICE.M.Gain\"\ntype = \"f32\"\n"
                                "[[service]]\nname = \"M\"\nsettings = { Gain = 2.5 }\n");
    float gain = 0;
    ASSERT_EQ(KoTagRead("SERVICE.M.Gain", &gain, 4), KO_OK) << KoStoreError();
    EXPECT_EQ(gain, 2.5f);
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
    KoServiceBind("ECAT_1");
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

TEST(NodeConfig, PointTablesCarryTheTypeAndSizeTheStoreHas)
{
    testnode::write_node_config("[[service]]\nname = \"M\"\n[[service.output]]\ntag = \"Made.Before\"\n"
                                "address = 1\naccess = \"bit\"\nbit = 2\n");
    // Made by someone else before the service binds its points, with a type
    // the point would not have given it.
    ASSERT_EQ(KoTagCreateEx("Made.Before", KO_TYPE_F64, nullptr, nullptr), KO_OK) << KoStoreError();
    KoServiceBind("M");
    ASSERT_EQ(KoOutPortCount, 1);
    EXPECT_EQ(uint16_t{KoOutPortTags[0].data_type}, KO_TYPE_F64);
    EXPECT_EQ(uint16_t{KoOutPortTags[0].data_size}, 8);
}

TEST(NodeConfig, ServiceTheConfigDoesNotNameRunsWithoutPoints)
{
    KoServiceBind("LONGSERVICENAME");
    EXPECT_STREQ(KoServiceShortName, "LONGSER");
    EXPECT_EQ(KoInPortCount, 0);
    EXPECT_EQ(TagRefs_IN, nullptr);
    EXPECT_EQ(KoOutPortTags, nullptr);
}

}  // namespace
