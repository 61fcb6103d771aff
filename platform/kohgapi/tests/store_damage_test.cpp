// Stores whose magic, version and size are intact but whose fields are
// damaged, one field at a time: ko refuses each with the reason, and never
// crashes or hangs on one.
#include "child_process.h"
#include "kohgapi.h"
#include "store.h"
#include "test_node.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using Damage = std::function<void(ko::Store &copy)>;

// A copy of this test's store with one damage applied, in a node of its own.
std::string damaged_copy(const std::string &name, const Damage &damage)
{
    std::string dir = testnode::node_dir() + "/" + name;
    std::filesystem::create_directory(dir);
    std::filesystem::copy_file(testnode::node_dir() + "/tags.store", dir + "/tags.store");
    int fd = open((dir + "/tags.store").c_str(), O_RDWR);
    size_t size = static_cast<size_t>(lseek(fd, 0, SEEK_END));
    auto *base = static_cast<uint8_t *>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ko::Store copy = *ko::store();
    auto rebase = [&](auto *p) {
        return reinterpret_cast<decltype(p)>(base + (reinterpret_cast<uint8_t *>(p) - copy.base));
    };
    copy.header = rebase(copy.header);
    copy.index = rebase(copy.index);
    copy.tags = rebase(copy.tags);
    copy.mailboxes = rebase(copy.mailboxes);
    copy.base = base;
    damage(copy);
    munmap(base, size);
    return dir;
}

testnode::RunResult ko(const std::string &dir, std::vector<std::string> args)
{
    args.insert(args.begin(), KO_PATH);
    return testnode::run_program(args, {"RT_NODE_DIR=" + dir}, 10000);
}

ko::TagSlot &tag(ko::Store &s, const char *name)
{
    return s.tags[ko::find_tag(ko::store(), name) - 1];
}

TEST(StoreDamage, EveryDamagedFieldIsRefusedWithItsReason)
{
    uint32_t entry = 0;
    ASSERT_EQ(KoTagCreateSegment("D.Seg", KO_TYPE_SEGMENT, 64, "test", "a block", nullptr, 0, &entry), KO_OK);
    ASSERT_EQ(KoTagCreateFIFO("D.Fifo", 14, 10, nullptr, nullptr, nullptr, 0, &entry), KO_OK);
    ASSERT_EQ(KoTagCreateEx("D.Value", KO_TYPE_I32, nullptr, "a value"), KO_OK);
    ASSERT_EQ(KoTagSetProperty("D.Value", "Address", "local"), KO_OK);

    struct Row {
        const char *name;
        const char *reason;
        Damage damage;
    } rows[] = {
        {"index_offset", "index offset", [](ko::Store &s) { s.header->index_offset = 1ull << 40; }},
        {"tags_offset", "tags offset", [](ko::Store &s) { s.header->tags_offset += 8; }},
        {"mailboxes_offset", "mailboxes offset", [](ko::Store &s) { s.header->mailboxes_offset = 0; }},
        {"data_offset", "data offset", [](ko::Store &s) { s.header->data_offset = ~0ull; }},
        {"data_size", "data size", [](ko::Store &s) { s.header->data_size = 1ull << 50; }},
        {"file_size", "file size", [](ko::Store &s) { s.header->file_size = 4096; }},
        {"tag_capacity", "tag capacity", [](ko::Store &s) { s.header->tag_capacity = ~0u; }},
        {"index_size", "index size", [](ko::Store &s) { s.header->index_size = 3; }},
        {"data_used", "uses", [](ko::Store &s) { s.header->data_used.store(~0ull); }},
        {"tag_count", "counts", [](ko::Store &s) { s.header->tag_count.store(1u << 30); }},
        {"index_entry", "name index", [](ko::Store &s) { s.index[5].store(70000); }},
        {"tag_name", "name is not a text", [](ko::Store &s) { std::memset(tag(s, "D.Value").name, 'x', 52); }},
        {"tag_type", "unknown type", [](ko::Store &s) { tag(s, "D.Value").type = 99; }},
        {"value_size", "with size", [](ko::Store &s) { tag(s, "D.Value").size = 4096; }},
        {"segment_data", "outside the data area", [](ko::Store &s) { tag(s, "D.Seg").data = 1ull << 45; }},
        {"segment_size", "outside the data area", [](ko::Store &s) { tag(s, "D.Seg").size = 1u << 31; }},
        {"fifo_depth", "depth", [](ko::Store &s) { tag(s, "D.Fifo").depth = 0; }},
        {"fifo_counters", "FIFO counters",
         [](ko::Store &s) { s.at<ko::FifoArea>(tag(s, "D.Fifo").data)->tail.store(5000); }},
        {"property_offset", "property record", [](ko::Store &s) { tag(s, "D.Value").properties.store(3); }},
        {"property_loop", "does not end",
         [](ko::Store &s) {
             uint64_t at = tag(s, "D.Value").properties.load();
             s.at<ko::PropertyRecord>(at)->next = at;  // points to itself
         }},
        {"property_length", "damaged",
         [](ko::Store &s) { s.at<ko::PropertyRecord>(tag(s, "D.Seg").properties.load())->length = 1u << 30; }},
        {"mailbox", "mailbox 3", [](ko::Store &s) { s.mailboxes[3].tail = 1000; }},
    };
    for (const Row &row : rows) {
        std::string dir = damaged_copy(row.name, row.damage);
        for (auto command : {std::vector<std::string>{"list"}, {"get", "D.Value"}}) {
            auto r = ko(dir, command);
            EXPECT_EQ(r.code, 1) << row.name << " " << command[0] << ": " << r.err;
            EXPECT_NE(r.err.find("is unusable"), std::string::npos) << row.name << ": " << r.err;
            EXPECT_NE(r.err.find(row.reason), std::string::npos) << row.name << ": " << r.err;
        }
    }
}

TEST(StoreDamage, AFullNameIndexNeverHangsALookUp)
{
    ASSERT_EQ(KoTagCreateEx("D.Value", KO_TYPE_I32, nullptr, nullptr), KO_OK);
    std::string dir = damaged_copy("full_index", [](ko::Store &s) {
        for (uint32_t i = 0; i < s.header->index_size; ++i)
            s.index[i].store(1);  // every slot taken, none holding the names asked for
    });
    auto r = ko(dir, {"get", "No.Such.Tag"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("No.Such.Tag"), std::string::npos) << r.err;
    r = ko(dir, {"set", "--create", "New.Tag", "1"});
    EXPECT_NE(r.code, 0);
    EXPECT_LT(r.code, 128) << "not killed";
}

}  // namespace
