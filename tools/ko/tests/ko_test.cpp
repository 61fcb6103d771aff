// The ko tool as a user runs it: golden outputs and exit codes.
#include "child_process.h"
#include "kohgapi.h"
#include "rt.h"
#include "test_node.h"

#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

testnode::RunResult ko(std::vector<std::string> args, std::vector<std::string> env = {})
{
    args.insert(args.begin(), KO_PATH);
    return testnode::run_program(args, env);
}

void make_tags()
{
    testnode::write_node_config(R"(
[[tag]]
name = "Line1.Speed"
type = "f32"
value = 1.5
description = "conveyor speed"

[[tag]]
name = "Line1.Mode"
type = "u8"
value = 3

[[tag]]
name = "Line1.Block"
type = "segment"
size = 4

[[tag]]
name = "Line1.Frames"
type = "fifo"
record_size = 14
depth = 1024
)");
    ASSERT_STREQ(KoStoreError(), "") << "the node is made by a process of the node, never by ko";
}

TEST(Ko, ListGolden)
{
    make_tags();
    auto r = ko({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "NAME          TYPE     VALUE           DESCRIPTION\n"
              "Line1.Speed   f32      1.5             conveyor speed\n"
              "Line1.Mode    u8       3\n"
              "Line1.Block   segment  00 00 00 00\n"
              "Line1.Frames  fifo     0/1024 records\n");
    r = ko({"-s", "list", "Line1.[MS]*"});
    EXPECT_EQ(r.out, "Line1.Speed f32 1.5\nLine1.Mode u8 3\n");
    r = ko({"--json", "list", "Line1.Mode"});
    EXPECT_EQ(r.out, "[{\"name\":\"Line1.Mode\",\"type\":\"u8\",\"value\":3,\"description\":\"\"}]\n");
}

TEST(Ko, GetPrintsValuesAlone)
{
    make_tags();
    auto r = ko({"get", "Line1.Speed", "Line1.Mode"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "1.5\n3\n");
    EXPECT_EQ(r.err, "");
    r = ko({"get", "Line1.Mode", "Line1.Missing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "3\n");
    EXPECT_EQ(r.err, "ko: Line1.Missing: KO_E_NOT_FOUND (no such tag)\n");
    r = ko({"--json", "get", "Line1.Speed", "Line1.Block"});
    EXPECT_EQ(r.out, "[{\"name\":\"Line1.Speed\",\"type\":\"f32\",\"value\":1.5},"
                     "{\"name\":\"Line1.Block\",\"type\":\"segment\",\"value\":\"00 00 00 00\"}]\n");
}

TEST(Ko, SetWritesCreatesAndRefusesWhatDoesNotFit)
{
    make_tags();
    struct Row {
        std::vector<std::string> args;
        int code;
        const char *err;
        const char *tag;
        const char *value_after;
    } rows[] = {
        {{"set", "Line1.Mode", "7"}, 0, "", "Line1.Mode", "7"},
        {{"set", "Line1.Mod", "7"}, 1, "ko: no tag Line1.Mod; did you mean Line1.Mode? (--create makes a new tag)\n",
         "Line1.Mod", nullptr},
        {{"set", "Line1.Mode", "300"}, 1, "ko: Line1.Mode: \"300\" does not fit type u8; the value is unchanged\n",
         "Line1.Mode", "7"},
        {{"set", "Line1.Mode", "-1"}, 1, "ko: Line1.Mode: \"-1\" does not fit type u8; the value is unchanged\n",
         "Line1.Mode", "7"},
        {{"set", "Line1.Mode", "abc"}, 1, "ko: Line1.Mode: \"abc\" is not a number (type u8); the value is unchanged\n",
         "Line1.Mode", "7"},
        {{"set", "Line1.Mode", " 7"}, 1, "ko: Line1.Mode: \" 7\" is not a number (type u8); the value is unchanged\n",
         "Line1.Mode", "7"},
        {{"set", "Line1.Speed", "-2.25"}, 0, "", "Line1.Speed", "-2.25"},
        {{"set", "Line1.Speed", "-.25"}, 0, "", "Line1.Speed", "-0.25"},
        {{"set", "Line1.Speed", "-inf"}, 0, "", "Line1.Speed", "-inf"},
        {{"set", "Line1.Speed", "1500"}, 0, "", "Line1.Speed", "1500"},
        {{"set", "-s", "Line1.Speed", "-1e-3"}, 0, "", "Line1.Speed", "-0.001"},
        {{"set", "--create", "New.Negative", "-7"}, 0, "", "New.Negative", "-7"},
        {{"set", "--create", "New.Huge", "18446744073709551616"}, 1,
         "ko: New.Huge: 18446744073709551616 does not fit any integer type; give --type f64 to store it as a float\n",
         "New.Huge", nullptr},
        {{"set", "--create", "New.Blank", " 7"}, 1, "ko: New.Blank: \" 7\" is not a number; give --type to create the tag\n",
         "New.Blank", nullptr},
        {{"set", "Line1.Block", "01 a0 ff"}, 0, "", "Line1.Block", "01 a0 ff 00"},
        {{"set", "--create", "New.Count", "42"}, 0, "", "New.Count", "42"},
        {{"set", "--type", "u16", "New.Word", "65535"}, 0, "", "New.Word", "65535"},
        {{"set", "--type", "u8", "New.Small", "256"}, 1,
         "ko: New.Small: \"256\" does not fit type u8; the value is unchanged\n", "New.Small", nullptr},
        {{"set", "--type", "i32", "Line1.Mode", "1"}, 1, "ko: Line1.Mode exists with type u8, not i32\n", "Line1.Mode",
         "7"},
        {{"set", "--create", "New.Text", "hello"}, 1, "ko: New.Text: \"hello\" is not a number; give --type to create the tag\n",
         "New.Text", nullptr},
    };
    for (const Row &r : rows) {
        auto result = ko(r.args);
        std::string what = r.args.back();
        EXPECT_EQ(result.code, r.code) << what;
        EXPECT_EQ(result.err, r.err) << what;
        auto after = ko({"get", r.tag});
        if (r.value_after == nullptr)
            EXPECT_EQ(after.code, 1) << r.tag << " must not have been created";
        else
            EXPECT_EQ(after.out, std::string(r.value_after) + "\n") << what;
    }
    auto types = ko({"-s", "list", "New.*"});
    EXPECT_EQ(types.out, "New.Negative i32 -7\nNew.Count i32 42\nNew.Word u16 65535\n") << "in creation order";
}

TEST(Ko, WatchRoundsAndChangeMarks)
{
    make_tags();
    auto r = ko({"watch", "Line1.S*", "Line1.Mode", "-n", "3", "-i", "20"});
    EXPECT_EQ(r.code, 0);
    // Each round: its time, then the values in aligned columns.
    std::istringstream rounds(r.out);
    for (int round = 0; round < 3; ++round) {
        std::string time, speed, mode;
        std::getline(rounds, time);
        std::getline(rounds, speed);
        std::getline(rounds, mode);
        EXPECT_EQ(time.size(), std::string("-- 14:07:38.123").size()) << time;
        EXPECT_EQ(time.rfind("-- ", 0), 0u) << time;
        EXPECT_EQ(speed, "  Line1.Speed  1.5");
        EXPECT_EQ(mode, "  Line1.Mode   3");
    }
    EXPECT_EQ(ko({"watch", "-s", "Line1.Mode", "-n", "2", "-i", "10"}).out, "  Line1.Mode 3\n  Line1.Mode 3\n");

    // A value changed between rounds is marked.
    testnode::Child watcher([](int report_fd) {
        dup2(report_fd, 1);
        execl(KO_PATH, KO_PATH, "watch", "Line1.Mode", "-n", "40", "-i", "100", nullptr);
        return 127;
    });
    ASSERT_EQ(watcher.read_line().rfind("-- ", 0), 0u);
    ASSERT_EQ(watcher.read_line(), "  Line1.Mode  3");
    uint8_t five = 5;
    ASSERT_EQ(KoTagWrite("Line1.Mode", &five, 1), KO_OK);
    std::string line;
    for (int i = 0; i < 160 && line != "* Line1.Mode  5"; ++i)
        line = watcher.read_line();
    EXPECT_EQ(line, "* Line1.Mode  5");
}

TEST(Ko, ExitCodesAndUnusableNode)
{
    EXPECT_EQ(ko({}).code, 2);
    EXPECT_EQ(ko({"frobnicate"}).code, 2);
    EXPECT_EQ(ko({"get"}).code, 2);
    EXPECT_EQ(ko({"ctl", "ECAT", "jump"}).code, 2);
    EXPECT_EQ(ko({"set", "--type", "u7", "A", "1"}).code, 2);
    auto r = ko({"list"}, {"RT_NODE_DIR=" + testnode::node_dir() + "/missing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "ko: node directory " + testnode::node_dir() +
                         "/missing (RT_NODE_DIR) does not exist or is not a directory\n");
    // ko looks at a node and never makes one: on a directory without a
    // store every command says so, and the directory stays empty.
    for (std::vector<std::string> command :
         {std::vector<std::string>{"list"}, {"get", "X"}, {"set", "X", "1"}, {"status"}, {"ctl", "ECAT", "run"}}) {
        r = ko(command);
        EXPECT_EQ(r.code, 1) << command[0];
        EXPECT_EQ(r.err, "ko: no node is there: " + testnode::node_dir() +
                             " has no tag store (start a service or the node first)\n")
            << command[0];
    }
    EXPECT_TRUE(std::filesystem::is_empty(testnode::node_dir()));
}

TEST(Ko, UnknownCommandsPatternsThatMatchNothingAndTheVersion)
{
    auto r = ko({"lst"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "ko: unknown command \"lst\"; the commands are: list get set watch status ctl log can (ko --help)\n");
    r = ko({"-s", "frob", "x"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("unknown command \"frob\""), std::string::npos) << r.err;
    r = ko({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("ko ", 0), 0u) << r.out;

    make_tags();
    for (std::vector<std::string> command :
         {std::vector<std::string>{"list", "NOTHING.*"}, {"watch", "NOTHING.*", "-n", "1"}, {"watch", "Line1.*", "NOTHING.*", "-n", "1"}}) {
        r = ko(command);
        EXPECT_EQ(r.code, 1) << command[0];
        EXPECT_EQ(r.err, "ko: no tag matches \"NOTHING.*\"\n") << command[0];
        EXPECT_EQ(r.out, "") << command[0];
    }
    r = ko({"get", "Line1.Mod"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("did you mean Line1.Mode?"), std::string::npos) << r.err;
    EXPECT_NE(ko({"watch", "Line1.Sped", "-n", "1"}).err.find("did you mean Line1.Speed?"), std::string::npos);
    EXPECT_EQ(ko({"list", "Line1.*"}).code, 0);
    // Options are taken after the command as well as before it.
    EXPECT_EQ(ko({"list", "Line1.Mode", "--json"}).out, ko({"--json", "list", "Line1.Mode"}).out);
    EXPECT_EQ(ko({"get", "-s", "Line1.Mode"}).out, "3\n");
}

std::atomic<uint32_t> last_code{0};
uint32_t note_code(uint32_t, uint32_t code, uint32_t)
{
    last_code = code;
    return 0;
}

// This process plays a started service with one In thread.
void play_service(const char *name)
{
    KoServiceBind(name);
    uint8_t one = 1;
    KoTagWrite(KoServiceStatusTag, &one, 1);
    KoTagCreateEx(("SERVICE." + std::string(name) + ".InThread00_Cnt").c_str(), KO_TYPE_I32, nullptr, nullptr);
    KoServiceRegistration r{};
    r.signature = KO_REGISTRATION_SIGNATURE;
    r.handler = note_code;
    ASSERT_EQ(KoServiceRegister(&r), KO_OK);
}

TEST(Ko, StatusAndCtlReachARunningService)
{
    play_service("ECAT_1");
    uint32_t live = 77;
    KoTagWrite(KoServiceLiveTag, &live, 4);

    auto status = ko({"-s", "status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(status.out, "ECAT_1 ECAT_1 " + std::to_string(getpid()) + " 1 - - - 77\n");
    auto table = ko({"status", "ECAT_1"});
    EXPECT_NE(table.out.find("InThread00 cycles 0"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(" started "), std::string::npos) << "states in words: " << table.out;
    EXPECT_NE(table.out.find(" ms  min "), std::string::npos) << "times with their unit: " << table.out;
    EXPECT_EQ(ko({"status", "NOPE"}).code, 1);

    EXPECT_EQ(ko({"ctl", "ECAT_1", "trigger"}).code, 0);
    for (int i = 0; i < 500 && last_code == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(last_code.load(), uint32_t{EM_SERVICE_TRIGGER});
    KoServiceEnd(nullptr);
}

}  // namespace

namespace {

TEST(Ko, HostileNamesArePrintedEscapedAndJsonStaysValid)
{
    ASSERT_EQ(KoTagCreateEx("x\xff\ny\x1b[2J", KO_TYPE_U8, nullptr, "bell\a"), KO_OK);
    auto table = ko({"-s", "list"});
    EXPECT_EQ(table.out, "x\\xFF\\ny\\x1B[2J u8 0\n");
    auto json = ko({"--json", "list"});
    EXPECT_EQ(json.out, "[{\"name\":\"x\\u00ff\\u000ay\\u001b[2J\",\"type\":\"u8\",\"value\":0,\"description\":\"bell\\u0007\"}]\n");
    ASSERT_EQ(KoTagCreateEx("Caf\xc3\xa9", KO_TYPE_U8, nullptr, nullptr), KO_OK);
    EXPECT_EQ(ko({"-s", "list", "Caf*"}).out, "Caf\xc3\xa9 u8 0\n") << "valid UTF-8 passes as it is";
}

TEST(Ko, CtlNamesTheRunningServicesAndStopWaitsForTheEnd)
{
    testnode::write_node_config("[[service]]\nname = \"TEST\"\nsettings = { Mode = 1, Cycle = 20 }\n");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child service = testnode::Child::program({IOHOST_PATH, "-rsl", TEST_DRIVER}, {"KO_SERVICE=TEST"});
    ASSERT_TRUE(testnode::eventually([] { return testnode::tag_value("SERVICE.TEST.Status") == 1; }));
    auto nope = ko({"ctl", "NOPE", "run"});
    EXPECT_EQ(nope.code, 1);
    EXPECT_EQ(nope.err, "ko: no running service NOPE; running: TEST\n");
    auto lower = ko({"ctl", "test", "run"});
    EXPECT_EQ(lower.err, "ko: no running service test (did you mean TEST?); running: TEST\n");
    EXPECT_EQ(ko({"ctl", "TETS", "run"}).err, "ko: no running service TETS (did you mean TEST?); running: TEST\n");
    EXPECT_EQ(ko({"ctl", "TEST", "run"}).code, 0);
    auto stop = ko({"ctl", "TEST", "stop"});
    EXPECT_EQ(stop.code, 0) << stop.err;
    EXPECT_EQ(service.wait(200), 0) << "ko ctl stop returned after the process had ended";
}

TEST(Ko, AServiceKilledWithoutItsEndIsShownDead)
{
    testnode::write_node_config("[[service]]\nname = \"TEST\"\n");
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child service = testnode::Child::program({IOHOST_PATH, "-rsl", TEST_DRIVER}, {"KO_SERVICE=TEST"});
    ASSERT_TRUE(testnode::eventually([] { return testnode::tag_value("SERVICE.TEST.Status") == 1; }));
    kill(service.pid(), SIGKILL);
    EXPECT_EQ(service.wait(), 128 + SIGKILL);
    auto status = ko({"-s", "status"});
    EXPECT_EQ(status.out.rfind("TEST TEST - dead ", 0), 0u) << status.out;
    EXPECT_NE(ko({"--json", "status"}).out.find("\"status\":\"dead\""), std::string::npos);
}

}  // namespace

namespace {

// Every command's --json output, read by Python's own JSON parser: one
// document per line, keys lower case with '_', a tag always {name, type, value}.
TEST(Ko, EveryJsonOutputParsesWithTheSameKeys)
{
    make_tags();
    play_service("LINE_1");
    std::string dir = RtNodeDirectory();
    std::ofstream(dir + "/check.py") << R"(
import json, re, sys
def walk(node, where):
    if isinstance(node, dict):
        for key, value in node.items():
            assert re.fullmatch(r"[a-z]+(_[a-z]+)*", key), f"{where}: key {key!r}"
            walk(value, where)
        if "type" in node or "value" in node:
            assert {"name", "type", "value"} <= node.keys(), f"{where}: tag record {node}"
    elif isinstance(node, list):
        for item in node:
            walk(item, where)
for number, line in enumerate(sys.stdin, 1):
    walk(json.loads(line), f"line {number}")
print("ok")
)";
    KoLogWrite("LINE_1", "WRN", "a line with \"quotes\"");
    std::vector<std::vector<std::string>> commands = {
        {"list", "--json"}, {"get", "Line1.Speed", "Line1.Frames", "--json"},
        {"watch", "Line1.*", "-n", "2", "-i", "10", "--json"}, {"status", "--json"}, {"log", "--json"}};
    for (const auto &command : commands) {
        auto r = ko(command);
        ASSERT_EQ(r.code, 0) << command[0] << ": " << r.err;
        std::ofstream(dir + "/out.json") << r.out;
        auto parsed = testnode::run_program({"/bin/sh", "-c", "python3 " + dir + "/check.py < " + dir + "/out.json"});
        EXPECT_EQ(parsed.out, "ok\n") << command[0] << ": " << r.out << parsed.err;
    }
    EXPECT_NE(ko({"status", "--json"}).out.find("\"threads\":[{\"name\":\"InThread00\",\"cycles\":0"),
              std::string::npos);
    KoServiceEnd(nullptr);
}

}  // namespace

namespace {

TEST(Ko, LogFiltersByLevelServiceAndTimeAndKeepsTheLastLines)
{
    make_tags();
    KoLogWrite("ECAT", "WRN", "first warning");
    KoLogWrite("MODBUS", "DBG", "some detail");
    KoLogWrite("ECAT", "ERR", "an error");
    auto texts = [](const std::string &out) {
        std::string kept;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            kept += line.substr(line.find(' ', line.find(' ', line.find(' ', line.find(' ') + 1) + 1) + 1) + 1) + "|";
        return kept;
    };
    const struct {
        std::vector<std::string> args;
        const char *texts;
    } rows[] = {
        {{"log", "--level", "WRN"}, "first warning|an error|"},
        {{"log", "--service", "MODBUS"}, "some detail|"},
        {{"log", "-n", "1"}, "an error|"},
        {{"log", "--since", "1h", "--level", "ERR"}, "an error|"},
        {{"log", "--since", "2999-01-01"}, ""},
    };
    for (const auto &r : rows) {
        auto result = ko(r.args);
        EXPECT_EQ(result.code, 0) << r.args[1] << ": " << result.err;
        EXPECT_EQ(texts(result.out), r.texts) << r.args[1];
    }
    auto json = ko({"log", "--json", "-n", "1"});
    EXPECT_NE(json.out.find("\"source\":\"ECAT\",\"level\":\"ERR\",\"text\":\"an error\"}"), std::string::npos)
        << json.out;
    EXPECT_EQ(ko({"log", "--since", "yesterday"}).code, 2);
    EXPECT_EQ(ko({"log", "--level", "LOUD"}).code, 2);
}

}  // namespace
