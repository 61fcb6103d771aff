// The loader: attach, refusal, one handle per file name, symbol look-up.
#include "loaded_driver.h"
#include "rt.h"

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

const std::string probe_a = std::string(RSL_DIR_A) + "/probe.rsl";
const std::string probe_b = std::string(RSL_DIR_B) + "/probe.rsl";
const std::string refuse = std::string(RSL_DIR_A) + "/probe_refuse.rsl";

using testnode::rsl_entry;

TEST(Loader, RslMainRefusalFailsTheLoadAndUnloads)
{
    SetLastRtError(0);
    EXPECT_EQ(LoadRtLibrary(refuse.c_str()), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
    EXPECT_EQ(dlopen(refuse.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the refused library is still mapped";
}

TEST(Loader, SameFileNameGivesSameHandleAndOneAttach)
{
    RTHANDLE first = LoadRtLibrary(probe_a.c_str());
    ASSERT_NE(first, NULL_RTHANDLE);
    // Same file name from another folder: the module already in memory.
    RTHANDLE second = LoadRtLibrary(probe_b.c_str());
    EXPECT_EQ(second, first);
    auto attaches = rsl_entry<int (*)()>(first, "ProbeAttaches");
    ASSERT_NE(attaches, nullptr);
    EXPECT_EQ(attaches(), 1);
    EXPECT_STREQ(rsl_entry<const char *(*)()>(first, "ProbeCopy")(), "a");
}

TEST(Loader, MissingFilesAndSymbols)
{
    EXPECT_EQ(LoadRtLibrary("/nonexistent/driver.rsl"), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_EXIST);
    EXPECT_EQ(LoadRtLibrary("no_such_library.rsl"), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_EXIST);
    EXPECT_EQ(LoadRtLibrary(""), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_PARAM);

    RTHANDLE module = LoadRtLibrary(probe_a.c_str());
    ASSERT_NE(module, NULL_RTHANDLE);
    EXPECT_EQ(GetRtProcAddress(module, "HiInit"), nullptr);
    EXPECT_EQ(GetLastRtError(), E_EXIST);
    EXPECT_EQ(GetRtProcAddress(module, reinterpret_cast<const char *>(uintptr_t{3})), nullptr);
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_EQ(GetRtProcAddress(GetRtThreadHandles(THIS_PROCESS), "ProbeCopy"), nullptr);
    EXPECT_EQ(GetLastRtError(), E_TYPE);
}

void idle(LPVOID) {}

TEST(Loader, ThreadsOfTheLayerAttachToLoadedLibraries)
{
    RTHANDLE module = LoadRtLibrary(probe_a.c_str());
    ASSERT_NE(module, NULL_RTHANDLE);
    auto detaches = rsl_entry<int (*)()>(module, "ProbeThreadDetaches");
    int before = rsl_entry<int (*)()>(module, "ProbeThreadAttaches")();
    ASSERT_NE(CreateRtThread(150, idle, 8192, nullptr), BAD_RTHANDLE);
    for (int i = 0; i < 1000 && detaches() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(rsl_entry<int (*)()>(module, "ProbeThreadAttaches")(), before + 1);
    EXPECT_EQ(detaches(), 1);
}

TEST(Loader, FreeUnloadsAfterTheLastLoad)
{
    RTHANDLE module = LoadRtLibrary(probe_a.c_str());
    ASSERT_EQ(LoadRtLibrary(probe_a.c_str()), module);
    EXPECT_TRUE(FreeRtLibrary(module));
    EXPECT_NE(GetRtProcAddress(module, "ProbeCopy"), nullptr) << "still loaded once";
    EXPECT_TRUE(FreeRtLibrary(module));
    EXPECT_EQ(GetRtProcAddress(module, "ProbeCopy"), nullptr);
    EXPECT_EQ(GetLastRtError(), E_EXIST);
}

}  // namespace
