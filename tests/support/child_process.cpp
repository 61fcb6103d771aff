// child_process.cpp - forked children for tests that need a second process.
#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testnode {

Child::Child(const std::function<int(int)> &body)
{
    int out[2];
    int in[2];
    if (pipe(out) != 0 || pipe(in) != 0)
        return;
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_ = fork();
    if (pid_ == 0) {
        close(out[0]);
        close(in[1]);
        dup2(in[0], 0);
        close(in[0]);
        int code = body(out[1]);
        _exit(code);
    }
    close(out[1]);
    close(in[0]);
    read_fd_ = out[0];
    input_fd_ = in[1];
}

Child::Child(Child &&other) noexcept
    : pid_(other.pid_), read_fd_(other.read_fd_), input_fd_(other.input_fd_), reaped_(other.reaped_),
      status_(other.status_), buffered_(std::move(other.buffered_))
{
    other.pid_ = -1;
    other.read_fd_ = -1;
    other.input_fd_ = -1;
}

Child Child::program(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    return Child([&](int report_fd) {
        for (const std::string &entry : env)
            putenv(strdup(entry.c_str()));
        dup2(report_fd, 1);
        close(report_fd);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());  // a name without a slash is found on PATH
        return 127;
    });
}

Child::~Child()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (read_fd_ >= 0)
        close(read_fd_);
    close_input();
}

void Child::close_input()
{
    if (input_fd_ >= 0)
        close(input_fd_);
    input_fd_ = -1;
}

std::string Child::read_line(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{read_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[256];
        ssize_t n = read(read_fd_, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

int Child::wait(int timeout_ms)
{
    if (reaped_)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {  // one look at least: wait(0) polls
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

RunResult run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeout_ms)
{
    RunResult result;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const std::string &entry : env)
            putenv(strdup(entry.c_str()));
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());  // a name without a slash is found on PATH
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0)
                continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    if (open_fds > 0)
        kill(pid, SIGKILL);
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void report(int fd, const std::string &line)
{
    std::string text = line + "\n";
    [[maybe_unused]] ssize_t n = write(fd, text.data(), text.size());
}

}  // namespace testnode
