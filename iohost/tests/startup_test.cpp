// Start-up: the command line, the library load and the binding of the entry
// points, each failure with its console line and exit value; the end
// notifications.
#include "service_harness.h"

#include "kohgapi.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using harness::driver_path;

int exit_value(int code)
{
    return static_cast<int8_t>(static_cast<uint8_t>(code));  // the process's exit status as the program returned it
}

TEST(Startup, CommandLineAndBindingFailures)
{
    std::string long_path(255, 'a');
    long_path[0] = '/';
    std::string too_long(256, 'b');
    struct Row {
        const char *what;
        std::vector<std::string> args;
        std::string console;
        int exit;
    } rows[] = {
        {"no arguments", {}, "wrong number of arguments (given 0, expected 2+)\n", -2},
        {"-rsl alone", {"-rsl"}, "wrong number of arguments (given 0, expected 2+)\n", -2},
        {"-rsl last", {"x", "-rsl"}, "wrong number of arguments (given 0, expected 1+)\n", -1},
        {"no -rsl", {"-x", "y"}, "wrong number of arguments (given 0, expected 1+)\n", -1},
        {"path of 256", {"-rsl", too_long}, "Size Error Proccess Argument = RSL Path=[" + too_long + "]\n", -3},
        {"path of 255 is taken", {"-rsl", long_path}, "RSL Load Fail[" + long_path + "]\n", -2},
        {"empty path", {"-rsl", ""}, "RSL path not specified.\n", -1},
        {"missing library", {"-rsl", "/nonexistent/x.rsl"}, "RSL Load Fail[/nonexistent/x.rsl]\n", -2},
        {"no HiInit", {"-rsl", driver_path("test_driver_no_hiinit.rsl")},
         "RSL HiInit Function Load Fial[" + driver_path("test_driver_no_hiinit.rsl") + "]\n", -3},
        {"no HiOpen", {"-rsl", driver_path("test_driver_no_hiopen.rsl")},
         "RSL HiOpen Function Load Fial[" + driver_path("test_driver_no_hiopen.rsl") + "]\n", -4},
        {"no HiClose", {"-rsl", driver_path("test_driver_no_hiclose.rsl")},
         "RSL HiClose Function Load Fial[" + driver_path("test_driver_no_hiclose.rsl") + "]\n", -5},
        {"no HiRead", {"-rsl", driver_path("test_driver_no_hiread.rsl")},
         "RSL HiRead Function Load Fial[" + driver_path("test_driver_no_hiread.rsl") + "]\n", -6},
        {"no HiWrite", {"-rsl", driver_path("test_driver_no_hiwrite.rsl")},
         "RSL HiWrite Function Load Fial[" + driver_path("test_driver_no_hiwrite.rsl") + "]\n", -6},
    };
    for (const Row &r : rows) {
        std::vector<std::string> argv{IOHOST_PATH};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        auto result = testnode::run_program(argv, {"KO_SERVICE=TEST"});
        EXPECT_EQ(result.out, r.console) << r.what;
        EXPECT_EQ(exit_value(result.code), r.exit) << r.what;
    }
    EXPECT_FALSE(harness::exists("SERVICE.TEST.Status")) << "a failed start-up touched the tags";
}

TEST(Startup, OptionWordIgnoresCaseAndOtherArgumentsAreSkipped)
{
    auto child = testnode::Child::program({IOHOST_PATH, "first", "-RSL", driver_path(), "last"}, {"KO_SERVICE=TEST"});
    EXPECT_TRUE(harness::eventually([] { return harness::get("SERVICE.TEST.Status") == 1; }, 15000));
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.read_line(), "[LOG] : End TEST Service");
    EXPECT_EQ(child.wait(), 0);
}

class EndNotification : public ::testing::TestWithParam<int> {};

TEST_P(EndNotification, ShutsTheServiceDown)
{
    {
        int signal_number = GetParam();
        harness::Service service("test_driver_no_optional.rsl");
        ASSERT_TRUE(service.started()) << "a driver with only the mandatory entry points starts";
        ASSERT_TRUE(service.send(EM_SERVICE_RUN));
        ASSERT_TRUE(harness::eventually([] { return harness::get("SERVICE.TEST.Connected") == 1; }));
        EXPECT_EQ(service.end(signal_number), 0) << "signal " << signal_number;
        EXPECT_EQ(service.console(), "[LOG] : End TEST Service");
        EXPECT_EQ(harness::get("SERVICE.TEST.Status"), 0u);
        EXPECT_EQ(harness::get("SERVICE.TEST.Run"), 0u);
        EXPECT_EQ(harness::get("SERVICE.TEST.Connected"), 0u);
        uintptr_t mailbox;
        EXPECT_EQ(KoMailboxOpen("TEST", 2, &mailbox), KO_E_MAILBOX) << "the mailbox goes with the service";
        auto calls = harness::drain_calls();
        EXPECT_EQ(harness::count_calls(calls, testdriver::HiClose), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Startup, EndNotification, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

}  // namespace
