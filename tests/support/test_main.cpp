// test_main.cpp - gives each test program an isolated node directory
// (RT_NODE_DIR) before anything reads it, and removes it at the end.
#include "test_node.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace testnode {
namespace {
std::string directory;
}

const std::string &node_dir()
{
    return directory;
}

void write_node_config(const std::string &text)
{
    std::ofstream(directory + "/node.toml") << text;
}

}  // namespace testnode

int main(int argc, char **argv)
{
    char pattern[] = "/tmp/iohtest-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr)
        return 2;
    testnode::directory = made;
    setenv("RT_NODE_DIR", made, 1);
    setenv("RT_NODE_NAME", "testnode", 1);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(testnode::directory);
    return result;
}
