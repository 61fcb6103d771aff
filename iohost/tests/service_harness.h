// service_harness.h - runs iohost as a user would, in the test's own node,
// and looks at what a user sees: console, exit value, tags, node log.
#pragma once

#include "child_process.h"
#include "test_driver.h"

#include <functional>
#include <string>
#include <vector>

namespace harness {

std::string driver_path(const std::string &rsl = "test_driver.rsl");

// An iohost process hosting service TEST (KO_SERVICE) with a test driver.
class Service {
public:
    explicit Service(const std::string &rsl = "test_driver.rsl", const std::string &name = "TEST",
                     const std::vector<std::string> &env = {});
    // Waits until set-up reported Status 1.
    bool started(int timeout_ms = 15000);
    // Sends a control code to the service's mailbox.
    bool send(uint32_t code);
    // One console line (stdout), empty on time-out.
    std::string console(int timeout_ms = 10000) { return child_.read_line(timeout_ms); }
    // Sends a signal and returns the exit value.
    int end(int signal_number);
    int wait_exit(int timeout_ms = 10000) { return child_.wait(timeout_ms); }
    pid_t pid() const { return child_.pid(); }

private:
    std::string name_;
    testnode::Child child_;
};

// Values of tags (0 when missing) and writes that create them.
uint32_t get(const std::string &tag);
float get_float(const std::string &tag);
bool exists(const std::string &tag);
void set(const std::string &tag, uint32_t value, uint32_t size = 4);
// Writes into the test driver's device memory (TESTDRV.Memory), creating it
// when the driver has not been loaded yet.
void device_write(uint32_t address, const void *data, uint32_t length);
// Polls until the condition holds; false after timeout_ms.
bool eventually(const std::function<bool()> &condition, int timeout_ms = 10000);

// "LEVEL text" of every node log line from the container (source SERVICE),
// line breaks in the text shown as \n.
std::vector<std::string> log_lines(const std::string &source = "TEST");
// The last lines of the node log, for failure messages.
std::string log_tail(size_t lines = 25);
bool log_has(const std::string &line, const std::string &source = "TEST");
size_t log_count(const std::string &line, const std::string &source = "TEST");
// As log_has and log_count, once the line is there or 10 s have passed:
// lines of real-time threads reach the file a moment after the call.
bool await_log(const std::string &line, const std::string &source = "TEST");
size_t await_log_count(const std::string &line, size_t expected, const std::string &source = "TEST");

// Every call the test driver recorded since the last drain, in order.
std::vector<testdriver::TestCall> drain_calls();
size_t count_calls(const std::vector<testdriver::TestCall> &calls, uint16_t entry);

}  // namespace harness
