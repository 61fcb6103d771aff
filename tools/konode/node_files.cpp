// node_files.cpp - the files konode keeps in the node directory.
#include "node_files.h"

#include "rt.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace konode {
namespace {

std::string node_file(const char *name)
{
    return std::string(RtNodeDirectory()) + "/" + name;
}

pid_t pid_in(int fd)
{
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
}

// Replaces a file whole, so that a reader never sees half of it.
void replace_file(const char *name, const std::string &text)
{
    std::string path = node_file(name), temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
    }
    std::rename(temporary.c_str(), path.c_str());
}

std::string read_file(const char *name)
{
    std::ifstream in(node_file(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool alive(const ChildRecord &c)
{
    return c.pid > 0 && RtProcessStartTime(c.pid) == c.start;
}

}  // namespace

bool NodeLock::acquire(pid_t &other)
{
    other = 0;
    fd_ = open(node_file("konode.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd_ < 0)
        return false;
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        write_pid(getpid());
        return true;
    }
    // The holder writes its pid right after it took the lock.
    for (int i = 0; i < 100 && (other = pid_in(fd_)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close_here();
    return false;
}

void NodeLock::write_pid(pid_t pid)
{
    std::string text = std::to_string(pid) + "\n";
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "konode: cannot write %s: %s\n", node_file("konode.pid").c_str(), std::strerror(errno));
}

void NodeLock::close_here()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

pid_t running_konode()
{
    int fd = open(node_file("konode.pid").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    pid_t pid = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        for (int i = 0; i < 100 && (pid = pid_in(fd)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close(fd);
    return pid;
}

void write_children(const std::vector<ChildRecord> &children)
{
    std::string text;
    for (const ChildRecord &c : children)
        text += std::to_string(c.pid) + " " + std::to_string(c.start) + " " + c.name + "\n";
    replace_file("konode.children", text);
}

void end_leftovers()
{
    std::vector<ChildRecord> left;
    std::istringstream in(read_file("konode.children"));
    ChildRecord c{};
    while (in >> c.pid >> c.start >> c.name)
        if (alive(c))
            left.push_back(c);
    for (const ChildRecord &l : left) {
        std::fprintf(stderr, "konode: %s (pid %d) still runs from an earlier konode of this node: ending it\n",
                     l.name.c_str(), static_cast<int>(l.pid));
        kill(-l.pid, SIGTERM);  // its process group: an app's own children too
        kill(l.pid, SIGTERM);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const ChildRecord &l : left) {
        while (alive(l) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (alive(l)) {
            std::fprintf(stderr, "konode: %s (pid %d) did not end within 5 s: killed\n", l.name.c_str(),
                         static_cast<int>(l.pid));
            kill(-l.pid, SIGKILL);
            kill(l.pid, SIGKILL);
        }
    }
}

void write_notes(const Notes &notes)
{
    std::string text;
    for (const auto &[name, n] : notes)
        text += name + "\t" + std::to_string(n.restarts) + "\t" + n.state + "\n";
    replace_file("konode.notes", text);
}

Notes read_notes()
{
    Notes notes;
    std::istringstream in(read_file("konode.notes"));
    for (std::string line; std::getline(in, line);) {
        size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos)
            continue;
        notes[line.substr(0, a)] = ServiceNotes{static_cast<unsigned>(std::atoi(line.substr(a + 1, b - a - 1).c_str())),
                                                line.substr(b + 1)};
    }
    return notes;
}

void add_request(const std::string &name)
{
    std::ofstream(node_file("konode.requests"), std::ios::app) << name << "\n";
}

std::vector<std::string> take_requests()
{
    std::string path = node_file("konode.requests"), taken = path + ".taken";
    std::vector<std::string> names;
    if (std::rename(path.c_str(), taken.c_str()) != 0)
        return names;
    std::ifstream in(taken);
    for (std::string name; std::getline(in, name);)
        if (!name.empty())
            names.push_back(name);
    unlink(taken.c_str());
    return names;
}

void write_ended()
{
    time_t t = time(nullptr);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    replace_file("konode.ended", std::string(text) + "\n");
    unlink(node_file("konode.notes").c_str());
}

std::string read_ended()
{
    std::string text = read_file("konode.ended");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

void clear_node_files()
{
    for (const char *name : {"konode.notes", "konode.requests", "konode.ended", "konode.children"})
        unlink(node_file(name).c_str());
}

}  // namespace konode
