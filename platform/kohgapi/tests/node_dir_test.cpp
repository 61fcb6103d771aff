// The node directory and its files against hostile neighbours: a default
// directory that another user made or replaced by a link, links planted in
// the directory, a permissive umask, and a service process that has ended
// but is not yet reaped.
#include "child_process.h"
#include "kohgapi.h"
#include "rt.h"
#include "test_node.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

unsigned mode_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Runs the probe on the default node directory of node name, under umask.
testnode::RunResult open_default_node(const std::string &node_name, mode_t mask = 022)
{
    testnode::Child child([&](int report_fd) {
        dup2(report_fd, 1);
        umask(mask);
        setenv("RT_NODE_DIR", "", 1);  // empty counts as unset: the default directory
        setenv("RT_NODE_NAME", node_name.c_str(), 1);
        execl(STORE_PROBE, STORE_PROBE, "open", static_cast<char *>(nullptr));
        return 127;
    });
    testnode::RunResult r;
    r.out = child.read_line();
    r.code = child.wait();
    return r;
}

struct DefaultDirectory {
    std::string name = "iohtest" + std::to_string(getpid());
    std::string path = "/dev/shm/rtnode-" + name;
    std::string target = testnode::node_dir() + "/precious";
    ~DefaultDirectory()
    {
        std::error_code ignored;
        fs::remove(path, ignored);  // a link, or
        fs::remove_all(path, ignored);
    }
};

TEST(NodeDirectory, DefaultDirectoryIsUsedOnlyWhenItIsReallyOurs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory to another user";
    DefaultDirectory d;
    std::ofstream(d.target) << "root's file\n";

    // Made by another user, open to all, its log a link to a file of ours.
    ASSERT_EQ(mkdir(d.path.c_str(), 0777), 0);
    chmod(d.path.c_str(), 0777);
    ASSERT_EQ(symlink(d.target.c_str(), (d.path + "/node.log").c_str()), 0);
    ASSERT_EQ(lchown((d.path + "/node.log").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(d.path.c_str(), 65534, 65534), 0);
    auto r = open_default_node(d.name);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.rfind("refusing the node directory " + d.path + ": it belongs to", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("uid 65534"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(d.path + "/tags.store"));
    EXPECT_EQ(read_file(d.target), "root's file\n");

    // Ours, but every user may write to it.
    ASSERT_EQ(chown(d.path.c_str(), 0, 0), 0);
    r = open_default_node(d.name);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("every user may write to it (mode 0777)"), std::string::npos) << r.out;

    // A link to a directory of ours.
    fs::remove_all(d.path);
    ASSERT_EQ(symlink(testnode::node_dir().c_str(), d.path.c_str()), 0);
    r = open_default_node(d.name);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("it is a symbolic link"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(testnode::node_dir() + "/tags.store"));
}

TEST(NodeDirectory, NothingIsWorldWritableWhateverTheUmask)
{
    DefaultDirectory d;
    auto r = open_default_node(d.name, 0);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(mode_of(d.path), 0770u);
    EXPECT_EQ(mode_of(d.path + "/tags.store"), 0660u);

    testnode::Child writer([](int) {
        umask(0);
        KoLogWrite("T", "OPE", "a line");
        CatalogRtHandle(GetRtThreadHandles(ROOT_PROCESS), GetRtThreadHandles(THIS_PROCESS), "KOSCUMASK");
        return KoTagCount() > 0 || KoStoreError()[0] == '\0' ? 0 : 1;
    });
    ASSERT_EQ(writer.wait(), 0);
    for (const char *file : {"tags.store", "node.log", "root.catalog"})
        EXPECT_EQ(mode_of(testnode::node_dir() + "/" + file), 0660u) << file;
}

TEST(NodeDirectory, LinksPlantedInTheDirectoryAreNeverFollowed)
{
    std::string target = testnode::node_dir() + "/precious";
    std::ofstream(target) << "keep\n";
    ASSERT_EQ(symlink(target.c_str(), (testnode::node_dir() + "/node.log").c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), (testnode::node_dir() + "/tags.store").c_str()), 0);
    EXPECT_EQ(KoLogWrite("T", "OPE", "a line"), KO_E_STORE);
    EXPECT_EQ(KoTagCount(), 0u);
    EXPECT_NE(std::string(KoStoreError()).find("it is a symbolic link"), std::string::npos) << KoStoreError();
    EXPECT_EQ(read_file(target), "keep\n");
}

TEST(NodeDirectory, AnEndedServiceNotYetReapedHoldsNoName)
{
    ASSERT_STREQ(KoStoreError(), "");
    testnode::Child service = testnode::Child::program({STORE_PROBE, "register"}, {"KO_SERVICE=ZOMBIE"});
    ASSERT_EQ(service.read_line(), "registered");
    // Not reaped: the process stays a zombie until wait().
    std::string stat_path = "/proc/" + std::to_string(service.pid()) + "/stat";
    bool zombie = false;
    for (int i = 0; i < 2000 && !zombie; ++i) {
        std::string stat = read_file(stat_path);
        zombie = stat.find(") Z ") != std::string::npos;
        if (!zombie)
            usleep(1000);
    }
    ASSERT_TRUE(zombie);

    uintptr_t mailbox = 0;
    EXPECT_EQ(KoMailboxOpenByService("ZOMBIE", 2, &mailbox), KO_E_MAILBOX);
    EXPECT_EQ(KoServiceEnumerate(nullptr, 0), 0u);
    RT_ROOT_ENTRY entries[8];
    DWORD n = EnumerateRtRootCatalog(entries, 8);
    for (DWORD i = 0; i < n && i < 8; ++i)
        EXPECT_STRNE(entries[i].name, "KOSCZOMBIE");
    KoServiceBind("ZOMBIE");
    KoServiceRegistration registration{};
    registration.signature = KO_REGISTRATION_SIGNATURE;
    registration.handler = [](uint32_t, uint32_t, uint32_t) -> uint32_t { return 0; };
    EXPECT_EQ(KoServiceRegister(&registration), KO_OK) << KoServiceError();
    KoServiceEnd(nullptr);
    EXPECT_EQ(service.wait(), 0);
}

}  // namespace
