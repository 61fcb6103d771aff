// node_check.cpp - what a start will meet, found before anything starts:
// the node config as the tag library reads it (every error of the file),
// then the files and resources it names: drivers where the loader will look
// for them and that load, bus files as the simulated master reads them,
// Modbus addresses the driver can use and server ports that are free,
// programs beside konode or on PATH.
#include "node_check.h"

#include "bus.h"
#include "rt.h"
#include "suggest.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <net/if.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace konode {
namespace {

constexpr size_t kModbusHostMax = 14;  // the Modbus driver's 15-byte host, terminator included

bool is_file(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_program(const std::string &path)
{
    return is_file(path) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> folders_of(const std::string &list)
{
    std::vector<std::string> folders;
    std::stringstream in(list);
    for (std::string folder; std::getline(in, folder, ':');)
        if (!folder.empty())
            folders.push_back(folder);
    return folders;
}

// A name with '/' as given; else the first folder of the list that holds it.
std::string find_in(const std::string &name, const std::string &folders, bool (*ok)(const std::string &))
{
    if (name.find('/') != std::string::npos)
        return ok(name) ? name : std::string();
    for (const std::string &folder : folders_of(folders))
        if (ok(folder + "/" + name))
            return folder + "/" + name;
    return {};
}

// The driver libraries (*.rsl) in the loader's folders.
std::vector<std::string> drivers_in(const std::string &folders)
{
    std::vector<std::string> names;
    for (const std::string &folder : folders_of(folders))
        if (DIR *d = opendir(folder.c_str())) {
            while (dirent *e = readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".rsl") == 0)
                    names.push_back(name);
            }
            closedir(d);
        }
    return names;
}

// Loads a driver in a child process, as iohost will; "" when it loads,
// else what the load said.
std::string load_problem(const std::string &path)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        RTHANDLE module = LoadRtLibrary(path.c_str());
        if (module == 0)
            std::printf("LoadRtLibrary failed (status %04Xh)\n", static_cast<unsigned>(GetLastRtError()));
        std::fflush(stdout);
        _exit(module != 0 ? 0 : 1);
    }
    close(out[1]);
    std::string said;
    char buffer[1024];
    bool timed_out = false;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            timed_out = true;
            break;
        }
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;  // the child has ended, or is ending
        said.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (timed_out)
        kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    if (timed_out)
        return "its load did not finish within 10 s";
    while (!said.empty() && said.back() == '\n')
        said.pop_back();
    for (size_t at; (at = said.find('\n')) != std::string::npos;)
        said.replace(at, 1, "; ");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    return said.empty() ? "it cannot be loaded" : "it cannot be loaded: " + said;
}

// A property's text, its name compared without case as the tag library does.
const std::string *property_of(const ko::ServiceDecl &s, const char *key, const char *property, std::string &key_found)
{
    for (const auto &[k, props] : s.properties) {
        if (strcasecmp(k.c_str(), key) != 0)
            continue;
        for (const auto &[name, text] : props)
            if (strcasecmp(name.c_str(), property) == 0) {
                key_found = k;
                return &text;
            }
    }
    return nullptr;
}

const ko::ConfigValue *setting_of(const ko::ServiceDecl &s, const char *key)
{
    for (const auto &[k, value] : s.settings)
        if (k == key)
            return &value;
    return nullptr;
}

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Whether a TCP port can be listened on at this address.
std::string port_problem(const std::string &ip, int port)
{
    int fd = ko::bind_tcp_address(ip, port, 0);
    if (fd < 0)
        return ip + ":" + std::to_string(port) + " cannot be served: " + std::strerror(errno) +
               (errno == EADDRINUSE ? " (another program listens there)" : "");
    close(fd);
    return {};
}

// A Modbus service's NodeName address: one the driver takes, naming a device
// that exists, and as a server (IsMaster 0) a port that is free.
void check_modbus(const CheckedNode &node, size_t i, std::vector<std::string> &errors)
{
    const ko::ServiceDecl &s = node.config.services[i];
    std::string key_found;
    const std::string *address = property_of(s, "NodeName", "Address", key_found);
    std::string key = "service[" + std::to_string(i) + "].properties." + key_found + ".Address";
    if (address == nullptr || *address == "local")
        return;
    std::string at = s.at.count("properties." + key_found) != 0 ? s.at.at("properties." + key_found) : node.config_path + ":1:1";
    if (address->size() > kModbusHostMax) {
        errors.push_back(at + ": " + key + ": \"" + *address + "\" is " + std::to_string(address->size()) +
                         " characters; the Modbus driver takes at most " + std::to_string(kModbusHostMax) +
                         " (declare a [[modbus]] device with this address and name it here)");
        return;
    }
    std::string ip;
    int port = 0;
    bool tcp = ko::parse_tcp_address(*address, ip, port);
    if (tcp && port == 0) {
        errors.push_back(at + ": " + key + ": \"" + *address + "\" has no port 1 to 65535 after ':'");
        return;
    }
    if (!tcp) {
        const ko::ModbusDecl *device = node.config.modbus_device(*address);
        if (device == nullptr) {
            std::vector<std::string> names;
            for (const ko::ModbusDecl &d : node.config.modbus)
                names.push_back(d.name);
            errors.push_back(at + ": " + key + ": \"" + *address +
                             "\" is no IPv4 address and no [[modbus]] device" + ko::did_you_mean(*address, names));
            return;
        }
        if (device->address.empty())
            return;  // a serial line
        ip = device->address;
        port = device->port;
    }
    const ko::ConfigValue *is_master = setting_of(s, "IsMaster");
    bool server = is_master == nullptr || (std::holds_alternative<int64_t>(*is_master) && std::get<int64_t>(*is_master) == 0) ||
                  (std::holds_alternative<bool>(*is_master) && !std::get<bool>(*is_master));
    if (server)
        if (std::string why = port_problem(ip, port); !why.empty())
            errors.push_back(at + ": " + key + ": " + why);
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
        std::stringstream lines(error);
        for (std::string line; std::getline(lines, line);)
            errors.push_back(line);
        return false;
    }
    const std::string libraries = RtLibrarySearchPath();
    for (size_t i = 0; i < node.config.services.size(); ++i) {
        const ko::ServiceDecl &s = node.config.services[i];
        std::string key = "service[" + std::to_string(i) + "].driver";
        node.drivers.emplace_back();
        if (s.driver.empty()) {
            errors.push_back(node.config_path + ":1:1: " + key + ": missing (service " + s.name +
                             ": the driver library iohost loads)");
            continue;
        }
        node.drivers.back() = find_in(s.driver, libraries, is_file);
        if (node.drivers.back().empty()) {
            errors.push_back(s.driver_at + ": " + key + ": \"" + s.driver + "\" is not in " + libraries +
                             ko::did_you_mean(s.driver, drivers_in(libraries)));
            continue;
        }
        if (std::string why = load_problem(node.drivers.back()); !why.empty())
            errors.push_back(s.driver_at + ": " + key + ": \"" + s.driver + "\": " + why);
        if (base_name(node.drivers.back()) == "mbuslink.rsl")
            check_modbus(node, i, errors);
    }
    for (const ko::EthercatDecl &e : node.config.ethercat) {
        ecatsim::BusDecl bus;
        if (!e.interface.empty() && if_nametoindex(e.interface.c_str()) == 0)
            errors.push_back(node.config_path + ": ethercat " + e.name + ": interface \"" + e.interface +
                             "\": no such network interface on this machine");
        if (!e.bus.empty() && !ecatsim::load_bus_file(e.bus, e.name, bus, error)) {
            std::stringstream lines(error);
            for (std::string line; std::getline(lines, line);)
                errors.push_back(line);
        }
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
