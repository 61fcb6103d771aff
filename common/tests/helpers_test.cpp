// The log line and option-string helpers.
#include "ko_double.h"
#include "log_options.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class Helpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        kodouble::lines.clear();
        std::strcpy(KoServiceName, "ECAT_1");
    }
    void TearDown() override { kodouble::failing_allocation = 0; }
};

TEST_F(Helpers, DriverNameIsTheFirstTokenOfTheServiceName)
{
    struct Row {
        const char *service;
        const char *driver;
    } rows[] = {
        {"ECAT_1", "ECAT"}, {"CAN", "CAN"},   {"_MB_2", "MB"}, {"___", "___"},
        {"", ""},           {"A_", "A"},      {"MODBUS_TCP_3", "MODBUS"},
    };
    for (const Row &r : rows) {
        std::strcpy(KoServiceName, r.service);
        char driver[KO_SERVICE_NAME_SIZE] = "garbage";
        DriverNameFromService(driver, sizeof driver);
        EXPECT_STREQ(driver, r.driver) << "service " << r.service;
        EXPECT_STREQ(KoServiceName, r.service) << "the service name must stay whole";
    }
}

TEST_F(Helpers, DriverNameIsCutToTheBuffer)
{
    std::strcpy(KoServiceName, "ETHERCAT_1");
    char driver[5];
    DriverNameFromService(driver, sizeof driver);
    EXPECT_STREQ(driver, "ETHE");
}

TEST_F(Helpers, LogPrintFormatsOneLineWithSourceAndLevel)
{
    LogPrint(KoServiceName, "OPE", "CB_OPEN Start... ,%s,%05d", "userfunc", 42);
    LogPrint(KoServiceName, "DBG", "Error Status[%d]\n,%s,%05d", 1, "korecode", 227);
    ASSERT_EQ(kodouble::lines.size(), 2u);
    EXPECT_EQ(kodouble::lines[0].source, "ECAT_1");
    EXPECT_EQ(kodouble::lines[0].level, "OPE");
    EXPECT_EQ(kodouble::lines[0].text, "CB_OPEN Start... ,userfunc,00042");
    EXPECT_EQ(kodouble::lines[1].text, "Error Status[1]\n,korecode,00227");
}

TEST_F(Helpers, LogPrintCutsLongLinesAndWritesNothingBrokenWithoutMemory)
{
    std::string long_text(3000, 'x');
    LogPrint("S", "DBG", "%s,%s,%05d", long_text.c_str(), "korecode", 1);
    ASSERT_EQ(kodouble::lines.size(), 1u);
    EXPECT_EQ(kodouble::lines[0].text.size(), size_t{LOG_LINE_SIZE - 1});

    // Out of memory, a line is dropped or whole: never cut, never garbage.
    kodouble::failing_allocation = 1;
    LogPrint("S", "DBG", "lost,%s,%05d", "korecode", 2);
    ASSERT_LE(kodouble::lines.size(), 2u);
    if (kodouble::lines.size() == 2) {
        EXPECT_EQ(kodouble::lines[1].text, "lost,korecode,00002");
    }
}

TEST_F(Helpers, LogPrintFromManyThreadsKeepsEveryLine)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                LogPrint("S", "DBG", "thread %d line %d,%s,%05d", t, i, "userfunc", i);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(kodouble::lines.size(), 1600u);
}

struct Step {
    enum Kind { text, pair, number } kind;
    const char *a;
    const char *b = nullptr;
    uint32_t n = 0;
};

void apply(char **list, const Step &s)
{
    switch (s.kind) {
    case Step::text: OptionAppend(list, s.a); break;
    case Step::pair: OptionAppendPair(list, s.a, s.b); break;
    case Step::number: OptionAppendNumber(list, s.a, s.n); break;
    }
}

TEST_F(Helpers, OptionStringsAreBuiltEntryByEntry)
{
    struct Row {
        const char *what;
        std::vector<Step> steps;
        const char *expected;  // nullptr: the list stays empty
    } rows[] = {
        {"x, y, z", {{Step::text, "x"}, {Step::text, "y"}, {Step::text, "z"}}, "x|y|z"},
        {"empty text", {{Step::text, "x"}, {Step::text, ""}, {Step::text, nullptr}}, "x"},
        {"nothing appended", {{Step::text, ""}}, nullptr},
        {"pair", {{Step::pair, "node_name=", "local"}}, "node_name=local"},
        {"pair with empty value", {{Step::text, "a"}, {Step::pair, "k=", ""}, {Step::pair, "k=", nullptr}}, "a"},
        {"pair with empty key", {{Step::pair, "", "v"}}, nullptr},
        {"number", {{Step::number, "x=", nullptr, 7}}, "x=7"},
        {"largest number", {{Step::text, "a"}, {Step::number, "timeout=", nullptr, 4294967295u}},
         "a|timeout=4294967295"},
        {"number with empty key", {{Step::number, "", nullptr, 7}}, nullptr},
    };
    for (const Row &r : rows) {
        char *list = nullptr;
        for (const Step &s : r.steps)
            apply(&list, s);
        if (r.expected == nullptr)
            EXPECT_EQ(list, nullptr) << r.what;
        else
            EXPECT_STREQ(list, r.expected) << r.what;
        std::free(list);
    }
}

TEST_F(Helpers, EmptyListStringTakesTheTextWithoutSeparator)
{
    char *list = static_cast<char *>(std::malloc(1));
    list[0] = '\0';
    OptionAppend(&list, "x");
    EXPECT_STREQ(list, "x");
    std::free(list);
}

TEST_F(Helpers, OptionAppendsLeaveTheListAsItWasWhenMemoryRunsOut)
{
    // Text appends allocate once; pair and number appends twice (entry, then join).
    struct Row {
        Step step;
        int allocations;
    } rows[] = {
        {{Step::text, "y"}, 1},
        {{Step::pair, "k=", "v"}, 2},
        {{Step::number, "n=", nullptr, 5}, 2},
    };
    for (const Row &r : rows) {
        for (int failing = 1; failing <= r.allocations; ++failing) {
            for (bool start_empty : {false, true}) {
                char *list = nullptr;
                if (!start_empty)
                    OptionAppend(&list, "x");
                char *before = list;
                kodouble::failing_allocation = failing;
                apply(&list, r.step);
                kodouble::failing_allocation = 0;
                EXPECT_EQ(list, before) << "allocation " << failing << " failed, the list changed";
                if (!start_empty) {
                    EXPECT_STREQ(list, "x");
                }
                std::free(list);
            }
        }
    }
}

}  // namespace
