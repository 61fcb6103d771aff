// test_node.h - every test program runs in a node directory of its own,
// made by test_main before the first test and removed after the last.
#pragma once

#include <string>

namespace testnode {

// The node directory of this test program (RT_NODE_DIR).
const std::string &node_dir();

// Writes the node config (RT_NODE_DIR/node.toml); takes effect when the
// node's tag store is created, so call it before the first tag call.
void write_node_config(const std::string &text);

}  // namespace testnode
