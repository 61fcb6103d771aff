// test_node.h - every test program runs in a node directory of its own,
// made by test_main before the first test and removed after the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace testnode {

// The node directory of this test program (RT_NODE_DIR).
const std::string &node_dir();

// Writes the node config (RT_NODE_DIR/node.toml); takes effect when the
// node's tag store is created, so call it before the first tag call.
void write_node_config(const std::string &text);

// Checks condition every 2 ms until it holds or timeout_ms have passed.
bool eventually(const std::function<bool()> &condition, int timeout_ms = 10000);

// The node log as text, and how often a text occurs in it.
std::string node_log();
size_t log_count(const std::string &text);
// Waits until the text occurs expected times (lines of real-time threads
// reach the file a moment after the call), at most timeout_ms; the count.
size_t await_log_count(const std::string &text, size_t expected, int timeout_ms = 10000);

// A numeric tag's value (read as 8 bytes), -1 when it cannot be read.
int64_t tag_value(const std::string &name);

}  // namespace testnode
