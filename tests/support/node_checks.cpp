// node_checks.cpp - what the tests look at in their node: values, the log,
// and conditions that become true a little later.
#include "test_node.h"

#include "kohgapi.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace testnode {

bool eventually(const std::function<bool()> &condition, int timeout_ms)
{
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (condition())
            return true;
    return condition();
}

std::string node_log()
{
    std::ifstream in(node_dir() + "/node.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t log_count(const std::string &text)
{
    std::string log = node_log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

size_t await_log_count(const std::string &text, size_t expected, int timeout_ms)
{
    eventually([&] { return log_count(text) >= expected; }, timeout_ms);
    return log_count(text);
}

int64_t tag_value(const std::string &name)
{
    int64_t value = -1;
    return KoTagRead(name.c_str(), &value, 8) == KO_OK ? value : -1;
}

}  // namespace testnode
