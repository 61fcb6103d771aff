// The node log: one line per call whatever the fields hold, rotation at
// its size bound, and ko log reading across the rotated files.
#include "child_process.h"
#include "kohgapi.h"
#include "rt.h"
#include "test_node.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string node_log()
{
    std::ifstream in(testnode::node_dir() + "/node.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Log, NoCallWritesMoreThanOneLineOrARawControlCharacter)
{
    ASSERT_EQ(KoLogWrite("SRC\n2026-01-01T00:00:00.000000Z 1 ECAT", "ERR\r", "text\nforged line\x1b[2J\x07 end"),
              KO_OK);
    ASSERT_EQ(KoLogWrite(nullptr, nullptr, nullptr), KO_OK);
    std::string log = node_log();
    auto lines = lines_of(log);
    ASSERT_EQ(lines.size(), 2u) << log;
    EXPECT_NE(lines[0].find(" SRC\\n2026-01-01T00:00:00.000000Z 1 ECAT ERR\\r text\\nforged line\\x1b[2J\\x07 end"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" - - "), std::string::npos) << lines[1];
    for (char c : log)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f)) << int(c);
    std::string long_text(10000, 'x');
    ASSERT_EQ(KoLogWrite(long_text.c_str(), long_text.c_str(), long_text.c_str()), KO_OK);
    EXPECT_EQ(lines_of(node_log()).size(), 3u) << "a line too long is cut, never split";
}

TEST(Log, RotatesAtItsBoundAndKoLogReadsAcrossTheFiles)
{
    setenv("KO_LOG_MAX_BYTES", "65536", 1);  // read at the first line
    constexpr int kLines = 2000;             // about 200 kB: four files of 64 kB hold them all
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(KoLogWrite("ROT", "OPE", ("line " + std::to_string(i) + std::string(60, '.')).c_str()), KO_OK);
    std::string dir = testnode::node_dir();
    for (const char *file : {"/node.log", "/node.log.1", "/node.log.2", "/node.log.3"}) {
        ASSERT_TRUE(std::filesystem::exists(dir + file)) << file;
        EXPECT_LE(std::filesystem::file_size(dir + file), 65536u + 4096u) << file;
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/node.log.4")) << "three old files are kept";

    auto r = testnode::run_program({KO_PATH, "log"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    // Oldest first, none missing from the first line kept to the last written.
    size_t first = lines[0].find("line ");
    ASSERT_NE(first, std::string::npos);
    int number = std::atoi(lines[0].c_str() + first + 5);
    EXPECT_EQ(static_cast<int>(lines.size()), kLines - number);
    for (size_t i = 0; i < lines.size(); ++i)
        ASSERT_NE(lines[i].find("line " + std::to_string(number + static_cast<int>(i)) + "."), std::string::npos)
            << lines[i];

    // Many lines more: the log stays within four files of its bound.
    for (int i = 0; i < 10 * kLines; ++i)
        KoLogWrite("ROT", "OPE", std::string(60, '-').c_str());
    uintmax_t total = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind("node.log", 0) == 0)
            total += entry.file_size();
    EXPECT_LE(total, 4u * (65536u + 4096u));
}

}  // namespace

// Lines of a real-time thread go through the log ring: each arrives whole
// and in order, and a burst beyond the ring is counted, never lost unsaid.
TEST(Log, RealTimeThreadsHandTheirLinesOnAndCountWhatTheRingCouldNotHold)
{
    struct Burst {
        int lines;
        std::atomic<bool> done{false};
    };
    auto run = [](Burst &burst) {
        RTHANDLE thread = CreateRtThread(
            0,
            [](void *p) {
                auto *b = static_cast<Burst *>(p);
                for (int i = 0; i < b->lines; ++i)
                    KoLogWrite("RT", "DBG", ("line " + std::to_string(i)).c_str());
                b->done = true;
            },
            65536, &burst);
        ASSERT_NE(thread, BAD_RTHANDLE);
        ASSERT_TRUE(testnode::eventually([&] { return burst.done.load(); }));
    };
    Burst few{10};
    run(few);
    ASSERT_TRUE(testnode::eventually([] { return testnode::log_count(" RT DBG line ") == 10; })) << node_log();
    auto lines = lines_of(node_log());
    for (int i = 0; i < 10; ++i)
        EXPECT_NE(lines[i].find(" RT DBG line " + std::to_string(i)), std::string::npos) << lines[i];

    Burst flood{50000};
    run(flood);
    size_t dropped = 0;
    ASSERT_TRUE(testnode::eventually([&] {
        std::string log = node_log();
        dropped = 0;
        for (size_t at = log.find("kohgapi WRN "); at != std::string::npos; at = log.find("kohgapi WRN ", at + 1))
            dropped += std::strtoul(log.c_str() + at + 12, nullptr, 10);
        return testnode::log_count(" RT DBG line ") - 10 + dropped == 50000;
    })) << "every line written or counted as dropped";
    if (dropped > 0) {  // a writer that kept up dropped nothing
        EXPECT_NE(node_log().find("lines of real-time threads were dropped: the log ring of 64 lines was full"),
                  std::string::npos);
    }
}
