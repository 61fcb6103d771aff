// service_harness.cpp - starting iohost and reading what it shows.
#include "service_harness.h"

#include "kohgapi.h"
#include "test_node.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

std::vector<std::string> with_service(const std::string &name, std::vector<std::string> env)
{
    env.push_back("KO_SERVICE=" + name);
    return env;
}

}  // namespace

std::string driver_path(const std::string &rsl)
{
    return std::string(TEST_RSL_DIR) + "/" + rsl;
}

Service::Service(const std::string &rsl, const std::string &name, const std::vector<std::string> &env)
    : name_(name), child_(testnode::Child::program({IOHOST_PATH, "-rsl", driver_path(rsl)}, with_service(name, env)))
{
}

bool Service::started(int timeout_ms)
{
    return eventually([&] { return get("SERVICE." + name_ + ".Status") == 1; }, timeout_ms);
}

bool Service::send(uint32_t code)
{
    uintptr_t mailbox = 0;
    if (!eventually([&] { return KoMailboxOpen(name_.substr(0, 7).c_str(), 2, &mailbox) == KO_OK; }, 5000))
        return false;
    bool sent = KoMailboxSend(mailbox, name_.c_str(), code, nullptr, 0) == KO_OK;
    KoMailboxClose(mailbox);
    return sent;
}

int Service::end(int signal_number)
{
    kill(child_.pid(), signal_number);
    return child_.wait(10000);
}

uint32_t get(const std::string &tag)
{
    uint32_t value = 0;
    KoTagRead(tag.c_str(), &value, 4);
    return value;
}

float get_float(const std::string &tag)
{
    float value = 0;
    KoTagRead(tag.c_str(), &value, 4);
    return value;
}

bool exists(const std::string &tag)
{
    uint32_t entry = 0;
    return KoTagGetProperty(tag.c_str(), "Entry", &entry, 4) == KO_OK;
}

void set(const std::string &tag, uint32_t value, uint32_t size)
{
    KoTagWrite(tag.c_str(), &value, size);
}

void device_write(uint32_t address, const void *data, uint32_t length)
{
    uint32_t entry = 0;
    KoTagCreateSegment("TESTDRV.Memory", KO_TYPE_SEGMENT, testdriver::kMemorySize, nullptr, nullptr, nullptr, 0,
                       &entry);
    KoTagWriteSegment(entry, address, data, length);
}

bool eventually(const std::function<bool()> &condition, int timeout_ms)
{
    return testnode::eventually(condition, timeout_ms);
}

std::vector<std::string> log_lines(const std::string &source)
{
    std::vector<std::string> lines;
    std::ifstream in(testnode::node_dir() + "/node.log");
    std::string line;
    while (std::getline(in, line)) {
        // time pid source level text
        std::istringstream fields(line);
        std::string time, pid, src, level;
        fields >> time >> pid >> src >> level;
        if (src != source)
            continue;
        std::string text;
        std::getline(fields, text);
        lines.push_back(level + (text.empty() ? "" : text));
    }
    return lines;
}

std::string log_tail(size_t count)
{
    std::vector<std::string> lines;
    std::ifstream in(testnode::node_dir() + "/node.log");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::string tail = "\n--- node log ---\n";
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        tail += lines[i] + "\n";
    return tail;
}

bool log_has(const std::string &line, const std::string &source)
{
    return log_count(line, source) > 0;
}

size_t log_count(const std::string &line, const std::string &source)
{
    size_t n = 0;
    for (const std::string &l : log_lines(source))
        n += l == line;
    return n;
}

bool await_log(const std::string &line, const std::string &source)
{
    return eventually([&] { return log_has(line, source); });
}

size_t await_log_count(const std::string &line, size_t expected, const std::string &source)
{
    eventually([&] { return log_count(line, source) >= expected; });
    return log_count(line, source);
}

std::vector<testdriver::TestCall> drain_calls()
{
    std::vector<testdriver::TestCall> calls;
    uint32_t entry = 0;
    if (KoTagGetProperty("TESTDRV.Calls", "Entry", &entry, 4) != KO_OK)
        return calls;
    testdriver::TestCall call;
    while (KoTagGetFIFO(entry, &call, sizeof call, nullptr) == KO_OK)
        calls.push_back(call);
    return calls;
}

size_t count_calls(const std::vector<testdriver::TestCall> &calls, uint16_t entry)
{
    size_t n = 0;
    for (const auto &c : calls)
        n += c.entry == entry;
    return n;
}

}  // namespace harness
