// node_check.cpp - the node config as the tag library reads it, and the
// files it names: drivers where the loader will look for them, programs
// beside konode or on PATH.
#include "node_check.h"

#include "rt.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace konode {
namespace {

bool is_file(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_program(const std::string &path)
{
    return is_file(path) && access(path.c_str(), X_OK) == 0;
}

// A name with '/' as given; else the first folder of the list that holds it.
std::string find_in(const std::string &name, const std::string &folders, bool (*ok)(const std::string &))
{
    if (name.find('/') != std::string::npos)
        return ok(name) ? name : std::string();
    for (size_t start = 0; start <= folders.size();) {
        size_t colon = folders.find(':', start);
        if (colon == std::string::npos)
            colon = folders.size();
        std::string candidate = folders.substr(start, colon - start) + "/" + name;
        if (colon > start && ok(candidate))
            return candidate;
        start = colon + 1;
    }
    return {};
}

}  // namespace

std::string program_dir()
{
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    return path.substr(0, path.rfind('/'));
}

bool check_node(const std::string &path, CheckedNode &node, std::vector<std::string> &errors)
{
    char absolute[PATH_MAX];
    node.config_path = realpath(path.c_str(), absolute) != nullptr ? absolute : path;
    std::string error;
    if (!ko::load_node_config(node.config_path, node.config, error)) {
        errors.push_back(error);
        return false;
    }
    const std::string libraries = RtLibrarySearchPath();
    for (size_t i = 0; i < node.config.services.size(); ++i) {
        const ko::ServiceDecl &s = node.config.services[i];
        std::string key = "service[" + std::to_string(i) + "].driver";
        if (s.driver.empty()) {
            errors.push_back(node.config_path + ":1:1: " + key + ": missing (service " + s.name +
                             ": the driver library iohost loads)");
            node.drivers.emplace_back();
            continue;
        }
        node.drivers.push_back(find_in(s.driver, libraries, is_file));
        if (node.drivers.back().empty())
            errors.push_back(s.driver_at + ": " + key + ": \"" + s.driver + "\" is not in " + libraries);
    }
    const char *path_env = std::getenv("PATH");
    std::string programs = program_dir() + ":" + (path_env != nullptr ? path_env : "/usr/bin:/bin");
    for (size_t i = 0; i < node.config.apps.size(); ++i) {
        const ko::AppDecl &a = node.config.apps[i];
        node.app_programs.push_back(find_in(a.command[0], programs, is_program));
        if (node.app_programs.back().empty())
            errors.push_back(a.command_at + ": app[" + std::to_string(i) + "].command: \"" + a.command[0] +
                             "\" is no program beside konode or on PATH");
    }
    return errors.empty();
}

}  // namespace konode
