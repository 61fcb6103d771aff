// Object directories: the process's own and the node-wide root directory.
#include "child_process.h"
#include "rt.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

bool root_has(const std::string &name, int *pid = nullptr)
{
    std::vector<RT_ROOT_ENTRY> entries(64);
    DWORD n = EnumerateRtRootCatalog(entries.data(), static_cast<DWORD>(entries.size()));
    for (DWORD i = 0; i < n && i < entries.size(); ++i) {
        if (name == entries[i].name) {
            if (pid != nullptr)
                *pid = entries[i].pid;
            return true;
        }
    }
    return false;
}

TEST(Catalog, NameLengthAtTheLimitAndPastIt)
{
    RTHANDLE self = GetRtThreadHandles(THIS_PROCESS);
    EXPECT_TRUE(CatalogRtHandle(NULL_RTHANDLE, self, "ABCDEFGHIJKL"));  // 12
    EXPECT_FALSE(CatalogRtHandle(NULL_RTHANDLE, self, "ABCDEFGHIJKLM"));  // 13
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_FALSE(CatalogRtHandle(NULL_RTHANDLE, self, ""));
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_EQ(LookupRtHandle(NULL_RTHANDLE, "ABCDEFGHIJKL", NO_WAIT), self);
}

TEST(Catalog, DuplicateAndAbsentNames)
{
    RTHANDLE self = GetRtThreadHandles(THIS_PROCESS);
    ASSERT_TRUE(CatalogRtHandle(NULL_RTHANDLE, self, "InServ00"));
    EXPECT_FALSE(CatalogRtHandle(self, self, "InServ00"));
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
    EXPECT_TRUE(UncatalogRtHandle(NULL_RTHANDLE, "InServ00"));
    EXPECT_FALSE(UncatalogRtHandle(NULL_RTHANDLE, "InServ00"));
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
    EXPECT_EQ(LookupRtHandle(NULL_RTHANDLE, "InServ00", NO_WAIT), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_TIME);
    EXPECT_FALSE(CatalogRtHandle(NULL_RTHANDLE, 0x4444, "Ghost"));
    EXPECT_EQ(GetLastRtError(), E_EXIST);
}

TEST(Catalog, RootEntryOfOneProcessIsSeenByAnotherAndGoesWithIt)
{
    auto child = testnode::Child::program({RTK_PROBE, "catalog", "KOSCVISIBLE"});
    ASSERT_EQ(child.read_line(), "cataloged");
    int owner = 0;
    EXPECT_TRUE(root_has("KOSCVISIBLE", &owner));
    EXPECT_EQ(owner, child.pid());

    // The name is taken node-wide.
    RTHANDLE root = GetRtThreadHandles(ROOT_PROCESS);
    EXPECT_FALSE(CatalogRtHandle(root, GetRtThreadHandles(THIS_PROCESS), "KOSCVISIBLE"));
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);

    child.close_input();
    ASSERT_EQ(child.wait(), 0);
    EXPECT_FALSE(root_has("KOSCVISIBLE")) << "the entry of an ended process stays listed";
    EXPECT_TRUE(CatalogRtHandle(root, GetRtThreadHandles(THIS_PROCESS), "KOSCVISIBLE"));
}

TEST(Catalog, RootEntryOfAKilledProcessIsDropped)
{
    {
        auto child = testnode::Child::program({RTK_PROBE, "catalog", "KOSCKILLED"});
        ASSERT_EQ(child.read_line(), "cataloged");
        EXPECT_TRUE(root_has("KOSCKILLED"));
    }  // killed with SIGKILL
    EXPECT_FALSE(root_has("KOSCKILLED"));
}

TEST(Catalog, OwnRootEntriesCanBeRemoved)
{
    RTHANDLE root = GetRtThreadHandles(ROOT_PROCESS);
    ASSERT_TRUE(CatalogRtHandle(root, GetRtThreadHandles(THIS_PROCESS), "KOSCMINE"));
    EXPECT_TRUE(root_has("KOSCMINE"));
    EXPECT_TRUE(UncatalogRtHandle(root, "KOSCMINE"));
    EXPECT_FALSE(root_has("KOSCMINE"));
    EXPECT_FALSE(UncatalogRtHandle(root, "KOSCMINE"));
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
}

}  // namespace
