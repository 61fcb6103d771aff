// Search order of bare library names: RT_LIBRARY_PATH, folder by folder
// (this program runs with /nonexistent, rsl_b, rsl_a).
#include "rt.h"

#include <gtest/gtest.h>

namespace {

TEST(LoaderSearch, FirstFolderOfTheLibraryPathWins)
{
    RTHANDLE module = LoadRtLibrary("probe.rsl");
    ASSERT_NE(module, NULL_RTHANDLE);
    auto copy = reinterpret_cast<const char *(*)()>(GetRtProcAddress(module, "ProbeCopy"));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy(), "b");
}

TEST(LoaderSearch, LaterFoldersAreSearchedToo)
{
    // Only rsl_a holds probe_refuse.rsl; found there, then refused by its RslMain.
    EXPECT_EQ(LoadRtLibrary("probe_refuse.rsl"), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
}

}  // namespace
