// child_process.h - run a piece of a test in a forked child, with a pipe the
// child can report through, and always reap it.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testnode {

class Child {
public:
    // Forks; the child runs body(write_fd) and exits with its result. The
    // child's standard input is a pipe that close_input() closes.
    explicit Child(const std::function<int(int report_fd)> &body);
    // Starts a program with extra environment entries ("NAME=value"); its
    // standard output is what read_line() reads.
    static Child program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~Child();  // kills and reaps a child that is still running
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child(Child &&other) noexcept;

    pid_t pid() const { return pid_; }
    // Reads one line the child reported, waiting up to timeout_ms; empty on time-out or EOF.
    std::string read_line(int timeout_ms = 10000);
    // Waits up to timeout_ms (0: a look) for the child to end; its exit code, 128+signal, or -1 on time-out.
    int wait(int timeout_ms = 10000);
    void close_input();

private:
    pid_t pid_ = -1;
    int read_fd_ = -1;
    int input_fd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string buffered_;
};

// What a finished program wrote and its exit code (128+signal when killed).
struct RunResult {
    std::string out;
    std::string err;
    int code = -1;
};
// Runs a program to its end (killed after timeout_ms), with extra environment entries.
RunResult run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                      int timeout_ms = 30000);

// Writes a line to a report descriptor (from the child).
void report(int fd, const std::string &line);

}  // namespace testnode
