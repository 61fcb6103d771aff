// Processes of the node killed at random moments while they create the
// store, create tags or rewrite a segment; and several processes opening a
// new node at once. Every round is counted: whatever moment the kill hits,
// what is left is usable and whole.
#include "child_process.h"
#include "kohgapi.h"
#include "robust_mutex.h"
#include "store.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRounds = 100;

// A node directory of its own for one round, with a config that seeds many
// tags, so that creation takes long enough to be hit.
std::string seeded_node(int round)
{
    std::string dir = testnode::node_dir() + "/round" + std::to_string(round);
    std::filesystem::create_directory(dir);
    std::string config;
    for (int i = 0; i < 400; ++i)
        config += "[[tag]]\nname = \"Seed.T" + std::to_string(i) + "\"\ntype = \"i32\"\nvalue = " +
                  std::to_string(i + 1) + "\n";
    config += "[[service]]\nname = \"LINE\"\nsettings = { Mode = 3, Cycle = 10.0 }\n";
    std::ofstream(dir + "/node.toml") << config;
    return dir;
}

testnode::Child probe(const std::vector<std::string> &args, const std::string &node_dir = {})
{
    std::vector<std::string> argv{STORE_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    if (!node_dir.empty())
        env.push_back("RT_NODE_DIR=" + node_dir);
    return testnode::Child::program(argv, env);
}

std::string ko_get(const std::string &node_dir, const std::string &tag)
{
    auto r = testnode::run_program({KO_PATH, "get", tag}, {"RT_NODE_DIR=" + node_dir});
    return r.code == 0 ? r.out : "exit " + std::to_string(r.code) + ": " + r.err;
}

void sleep_us(int us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

TEST(StoreKill, CreationKilledAtAnyMomentLeavesNoStoreOrAWholeOne)
{
    std::mt19937 random(7);
    int absent = 0, whole = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string dir = seeded_node(round);
        {
            testnode::Child creator = probe({"open"}, dir);
            sleep_us(static_cast<int>(random() % 30000));
            kill(creator.pid(), SIGKILL);
            creator.wait();
        }
        if (!std::filesystem::exists(dir + "/tags.store")) {
            ++absent;
            // The next process makes the node as if nothing had happened.
            ASSERT_EQ(probe({"open"}, dir).wait(20000), 0) << "round " << round;
        } else {
            ++whole;
        }
        ASSERT_EQ(ko_get(dir, "Seed.T399"), "400\n") << "round " << round;
        ASSERT_EQ(ko_get(dir, "SERVICE.LINE.Cycle"), "10\n") << "round " << round;
        std::filesystem::remove_all(dir);
    }
    std::printf("killed creators: %d left no store, %d a whole one\n", absent, whole);
    EXPECT_EQ(absent + whole, kRounds);
}

TEST(StoreKill, NodesStartedBySeveralProcessesAtOnceAreAllSeeded)
{
    for (int round = 0; round < 20; ++round) {
        std::string dir = seeded_node(round);
        std::vector<testnode::Child> openers;
        for (int i = 0; i < 3; ++i)
            openers.push_back(probe({"open"}, dir));
        // A tool polling the new node meanwhile, as a launcher does.
        for (int i = 0; i < 20 && ko_get(dir, "SERVICE.LINE.Mode") != "3\n"; ++i)
            sleep_us(1000);
        for (auto &o : openers)
            EXPECT_EQ(o.wait(20000), 0) << "round " << round;
        EXPECT_EQ(ko_get(dir, "SERVICE.LINE.Mode"), "3\n") << "round " << round;
        EXPECT_EQ(ko_get(dir, "Seed.T0"), "1\n") << "round " << round;
        std::filesystem::remove_all(dir);
    }
}

// Every tag is found by its name, and creating a name again makes no second tag.
void expect_every_tag_findable(int round)
{
    uint32_t count = KoTagCount();
    for (uint32_t entry = 1; entry <= count; ++entry) {
        KoTagInfo info{};
        ASSERT_EQ(KoTagGetInfo(entry, &info), KO_OK);
        uint32_t found = 0;
        ASSERT_EQ(KoTagGetProperty(info.name, "Entry", &found, 4), KO_OK) << info.name << " round " << round;
        ASSERT_EQ(found, entry) << info.name;
    }
    if (count > 0) {
        KoTagInfo last{};
        KoTagGetInfo(count, &last);
        ASSERT_EQ(KoTagCreateEx(last.name, last.type, nullptr, nullptr), KO_OK);
        ASSERT_EQ(KoTagCount(), count) << "a second tag named " << last.name;
    }
}

// Tools open the store while another process creates tags, as ko does
// beside a starting service: a creation in progress is no damage.
TEST(StoreKill, StoresOpenedWhileAnotherProcessCreatesTagsAreSound)
{
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child creator = probe({"tags", "Busy.T", "16000"});
    ASSERT_EQ(creator.read_line(), "ready");
    int opens = 0;
    for (; opens < 20 || creator.wait(0) == -1; ++opens) {
        testnode::Child opener = probe({"open"});
        ASSERT_EQ(opener.read_line(), "open") << "open " << opens << " with " << KoTagCount() << " tags";
    }
    EXPECT_EQ(creator.wait(), 0);
}

TEST(StoreKill, TagCreationKilledAtAnyMomentLeavesEveryTagFindable)
{
    ASSERT_STREQ(KoStoreError(), "");
    std::mt19937 random(11);
    for (int round = 0; round < kRounds; ++round) {
        testnode::Child creator = probe({"tags", "R" + std::to_string(round) + ".", "200"});
        ASSERT_EQ(creator.read_line(), "ready");
        sleep_us(static_cast<int>(random() % 3000));
        kill(creator.pid(), SIGKILL);
        creator.wait();
        expect_every_tag_findable(round);
    }
}

TEST(StoreKill, ACreatorKilledBetweenCountAndIndexIsRepairedByTheNextHolder)
{
    ASSERT_EQ(KoTagCreateEx("Before", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    uint32_t before = KoTagCount();
    testnode::Child creator([](int report_fd) {
        ko::Store *s = ko::store();
        new ko::RobustLock(&s->header->lock);  // dies holding it
        uint32_t count = s->header->tag_count.load();
        ko::TagSlot &t = s->tags[count];
        std::memset(static_cast<void *>(&t), 0, sizeof t);
        std::strcpy(t.name, "Half.Made");
        t.type = KO_TYPE_I32;
        t.size = 4;
        s->header->tag_count.store(count + 1);  // published, not yet indexed
        testnode::report(report_fd, "published");
        pause();
        return 0;
    });
    ASSERT_EQ(creator.read_line(), "published");
    kill(creator.pid(), SIGKILL);
    creator.wait();
    ASSERT_EQ(KoTagCreateEx("Half.Made", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    EXPECT_EQ(KoTagCount(), before + 1) << "no second Half.Made";
    uint32_t entry = 0;
    ASSERT_EQ(KoTagGetProperty("Half.Made", "Entry", &entry, 4), KO_OK);
    EXPECT_EQ(entry, before + 1);
}

TEST(StoreKill, SegmentWriterKilledMidWriteNeverLeavesATornBlock)
{
    constexpr uint32_t kSize = 1 << 20;
    uint32_t entry = 0;
    ASSERT_EQ(KoTagCreateSegment("K.Big", KO_TYPE_SEGMENT, kSize, nullptr, nullptr, nullptr, 0, &entry), KO_OK);
    std::mt19937 random(5);
    std::vector<uint8_t> block(kSize);
    int torn = 0;
    for (int round = 0; round < kRounds; ++round) {
        testnode::Child writer = probe({"segment", "K.Big", std::to_string(kSize)});
        ASSERT_EQ(writer.read_line(), "ready");
        sleep_us(static_cast<int>(random() % 5000));
        kill(writer.pid(), SIGKILL);
        writer.wait();
        ASSERT_EQ(KoTagReadSegment(entry, 0, block.data(), kSize), KO_OK);
        for (uint32_t i = 1; i < kSize; ++i)
            if (block[i] != block[0]) {
                ++torn;
                break;
            }
    }
    EXPECT_EQ(torn, 0) << "of " << kRounds << " rounds";
}

}  // namespace
