// konode - the node launcher: builds a node from its config and runs it.
//
//   konode check NODE.toml      the config and the files it names; nothing is started
//   konode up NODE.toml [-d] [--quiet] [--timeout S]
//                               the node in RT_NODE_DIR: its config copied there, a
//                               fresh tag store, one iohost per service, the apps;
//                               a live screen until Ctrl-C or SIGTERM (-d: in the
//                               background, returning once every service is up, or
//                               with 1 and each service that did not start within S)
//   konode down                 ends the node konode runs in RT_NODE_DIR
//   konode start NAME           starts a stopped or given-up service or app again
//   konode status [--json]      the screen, once (exit 3: the node does not run)
// Exit: 0 done, 1 failed, 2 the config is wrong (every error: file, line, column, key),
// 3 (status) the node does not run. One konode runs a node: it holds a lock in
// RT_NODE_DIR for its whole life, and what it started ends with it.
#include "kohgapi.h"
#include "node_check.h"
#include "node_files.h"
#include "output.h"
#include "rt.h"
#include "screen.h"
#include "suggest.h"
#include "supervisor.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kDone = 0, kFailed = 1, kBadConfig = 2, kNotRunning = 3;

bool checked(const std::string &path, konode::CheckedNode &node)
{
    std::vector<std::string> errors;
    if (konode::check_node(path, node, errors))
        return true;
    for (const std::string &e : errors)
        std::fprintf(stderr, "%s\n", e.c_str());
    return false;
}

bool copy_file(const std::string &from, const std::string &to)
{
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    return !error;
}

// The node directory made ready: the config copied in (with the bus files it
// names beside it), a fresh tag store seeded from it.
bool prepare_node(const konode::CheckedNode &node, konode::NodeLock &lock, std::string &dir)
{
    dir = RtNodeDirectory();
    if (std::string why = RtNodeDirectoryError(); !why.empty()) {
        std::fprintf(stderr, "konode: %s\n", why.c_str());
        return false;
    }
    setenv("RT_NODE_DIR", dir.c_str(), 1);  // the children's node
    pid_t other = 0;
    if (!lock.acquire(other)) {
        if (other != 0)
            std::fprintf(stderr, "konode: a node runs in %s already (konode pid %d); konode down ends it\n",
                         dir.c_str(), static_cast<int>(other));
        else
            std::fprintf(stderr, "konode: cannot lock %s/konode.pid: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    konode::end_leftovers();
    konode::clear_node_files();
    std::string config_dir = node.config_path.substr(0, node.config_path.rfind('/') + 1);
    if (!copy_file(node.config_path, dir + "/node.toml")) {
        std::fprintf(stderr, "konode: cannot copy %s to %s/node.toml\n", node.config_path.c_str(), dir.c_str());
        return false;
    }
    for (const ko::EthercatDecl &e : node.config.ethercat) {
        if (e.bus.empty() || e.bus.rfind(config_dir, 0) != 0)
            continue;  // no bus file, or an absolute path outside: used where it is
        std::string relative = e.bus.substr(config_dir.size());
        for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
            mkdir((dir + "/" + relative.substr(0, slash)).c_str(), 0770);
        if (!copy_file(e.bus, dir + "/" + relative)) {
            std::fprintf(stderr, "konode: cannot copy the bus file %s into %s\n", e.bus.c_str(), dir.c_str());
            return false;
        }
    }
    unlink((dir + "/tags.store").c_str());  // a node is made afresh from its config
    if (std::string why = KoStoreError(); !why.empty()) {
        std::fprintf(stderr, "konode: %s\n", why.c_str());
        return false;
    }
    return true;
}

// What a failed start said: one line per service that did not start.
void print_failures(const std::string &text)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "failed")
            std::fprintf(stderr, "konode: %s\n", line.c_str());
}

int up(const std::string &path, bool background, konode::RunOptions options)
{
    konode::CheckedNode node;
    if (!checked(path, node))
        return kBadConfig;
    std::string dir;
    konode::NodeLock lock;
    if (!prepare_node(node, lock, dir))
        return kFailed;
    if (!background)
        return konode::run_node(node, options);
    int up_pipe[2];  // close-on-exec: the services must not keep its end open
    if (pipe2(up_pipe, O_CLOEXEC) != 0)
        return kFailed;
    pid_t pid = fork();
    if (pid == 0) {
        close(up_pipe[0]);
        setsid();
        lock.write_pid(getpid());
        int out = open((dir + "/konode.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(out, 1);
        dup2(out, 2);
        options.quiet = true;
        options.up_fd = up_pipe[1];
        _exit(konode::run_node(node, options));
    }
    close(up_pipe[1]);
    lock.close_here();  // the lock stays with the konode in the background
    std::string said;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + options.start_timeout + std::chrono::seconds(60);
    for (;;) {
        pollfd p{up_pipe[0], POLLIN, 1000};
        if (poll(&p, 1, 1000) > 0) {
            ssize_t n = read(up_pipe[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            said.append(buffer, static_cast<size_t>(n));
        } else if (std::chrono::steady_clock::now() > deadline) {
            break;
        }
    }
    close(up_pipe[0]);
    if (said == "up\n") {
        std::printf("node up in %s (konode pid %d); konode down ends it\n", dir.c_str(), static_cast<int>(pid));
        return kDone;
    }
    if (said.rfind("failed\n", 0) == 0) {
        print_failures(said);
        std::fprintf(stderr, "konode: the node runs on in %s with what started (konode pid %d); konode down ends it\n",
                     dir.c_str(), static_cast<int>(pid));
    } else {
        std::fprintf(stderr, "konode: the node did not come up; see %s/konode.out and ko log\n", dir.c_str());
    }
    return kFailed;
}

int down()
{
    pid_t pid = konode::running_konode();
    if (pid == 0) {
        std::fprintf(stderr, "konode: no node runs in %s under konode\n", RtNodeDirectory());
        return kFailed;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 2000 && kill(pid, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(pid, 0) == 0) {
        std::fprintf(stderr, "konode: the node's konode (pid %d) did not end within 20 s\n", static_cast<int>(pid));
        return kFailed;
    }
    std::printf("node in %s ended\n", RtNodeDirectory());
    return kDone;
}

// The node's config as konode copied it into the node directory.
bool node_config(ko::NodeConfig &config)
{
    std::string error;
    if (ko::load_node_config(ko::node_config_path(), config, error))
        return true;
    std::fprintf(stderr, "konode: %s\n", error.c_str());
    return false;
}

int start(const std::string &name)
{
    pid_t pid = konode::running_konode();
    ko::NodeConfig config;
    if (pid == 0) {
        std::fprintf(stderr, "konode: no node runs in %s (konode up starts one)\n", RtNodeDirectory());
        return kNotRunning;
    }
    if (!node_config(config))
        return kFailed;
    std::vector<std::string> names;
    bool service = false;
    for (const ko::ServiceDecl &s : config.services) {
        names.push_back(s.name);
        service = service || s.name == name;
    }
    for (const ko::AppDecl &a : config.apps)
        names.push_back(a.name);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::fprintf(stderr, "konode: the node has no service or app %s%s\n", name.c_str(),
                     ko::did_you_mean(name, names).c_str());
        return kFailed;
    }
    konode::add_request(name);
    kill(pid, SIGUSR1);
    // Done when the node's konode says the child runs (and a service has set itself up).
    std::string key = service ? name : "app:" + name;
    for (int i = 0; i < 1500; ++i) {
        konode::Notes notes = konode::read_notes();
        auto n = notes.find(key);
        int64_t status = 0;
        bool set_up = !service || (KoTagRead(("SERVICE." + name + ".Status").c_str(), &status, 8) == KO_OK && status == 1);
        if (n != notes.end() && n->second.state == "running" && set_up) {
            std::printf("%s %s runs\n", service ? "service" : "app", name.c_str());
            return kDone;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "konode: %s did not start within 15 s; konode status and %s/%s.console say why\n",
                 name.c_str(), RtNodeDirectory(), name.c_str());
    return kFailed;
}

int status(bool json)
{
    pid_t pid = konode::running_konode();
    if (pid == 0) {
        std::string ended = konode::read_ended();
        if (json)
            kotool::JsonWriter().object().boolean("running", false).text("ended", ended).print();
        else if (ended.empty())
            std::printf("node not running\n");
        else
            std::printf("node not running (ended at %s)\n", ended.c_str());
        return kNotRunning;
    }
    KoStoreAttachOnly();
    ko::NodeConfig config;
    if (!node_config(config))
        return kFailed;
    if (std::string why = KoStoreError(); !why.empty()) {
        std::fprintf(stderr, "konode: %s\n", why.c_str());
        return kFailed;
    }
    konode::Notes notes = konode::read_notes();
    if (!json) {
        std::fputs(konode::render_screen(config, notes).c_str(), stdout);
        return kDone;
    }
    auto pid_text = [](int32_t service_pid) { return service_pid != 0 ? std::to_string(service_pid) : std::string("-"); };
    auto number = konode::tag_text;
    kotool::JsonWriter out;
    out.object().boolean("running", true).number("konode_pid", pid).text("node", config.name).array("services");
    for (const ko::ServiceDecl &s : config.services) {
        std::string p = "SERVICE." + s.name + ".";
        const konode::ServiceNotes &n = notes[s.name];
        out.object()
            .text("name", s.name)
            .number("pid", pid_text(konode::service_pid(s.name)))
            .number("status", number(p + "Status"))
            .number("run", number(p + "Run"))
            .number("error", number(p + "Error"))
            .number("connected", number(p + "Connected"))
            .number("live", number(p + "Live"))
            .number("restarts", n.restarts)
            .text("state", n.state)
            .number("cpu", konode::service_cpu_text(konode::service_pid(s.name)))
            .end();
    }
    out.end().array("apps");
    for (const ko::AppDecl &a : config.apps)
        out.object().text("name", a.name).text("state", notes["app:" + a.name].state).end();
    out.print();
    return kDone;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"konode - builds a node from its config and runs it (the node in RT_NODE_DIR)"};
    app.set_version_flag("--version", "konode " KO_VERSION);
    app.require_subcommand(1);
    std::string path;
    auto *check = app.add_subcommand("check", "check a node config and the files it names; start nothing");
    check->add_option("NODE.toml", path, "the node config")->required();
    bool background = false;
    konode::RunOptions options;
    unsigned timeout_s = 15;
    auto *up_command = app.add_subcommand("up", "run the node of a config until Ctrl-C or SIGTERM");
    up_command->add_option("NODE.toml", path, "the node config")->required();
    up_command->add_flag("-d,--detach", background,
                         "run in the background; return once every service is up, or with 1 naming each that is not");
    up_command->add_flag("-q,--quiet", options.quiet, "no screen and no status lines");
    up_command->add_option("--timeout", timeout_s, "seconds the services have to come up (default 15)")
        ->check(CLI::Range(1u, 3600u));
    auto *down_command = app.add_subcommand("down", "end the node konode runs in RT_NODE_DIR");
    std::string name;
    auto *start_command = app.add_subcommand("start", "start a stopped or given-up service or app of the running node");
    start_command->add_option("NAME", name, "the service or app")->required();
    bool json = false;
    auto *status_command = app.add_subcommand("status", "print the node's status screen once (exit 3: not running)");
    status_command->add_flag("--json", json, "machine output (JSON)");
    app.footer("Exit: 0 done, 1 failed, 2 the config is wrong, 3 the node does not run (status, start).\n"
               "Example: RT_NODE_DIR=/tmp/plant konode up demo/node.toml");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kBadConfig;
    }
    if (*check) {
        konode::CheckedNode node;
        if (!checked(path, node))
            return kBadConfig;
        std::printf("%s: %s, %s: ok\n", node.config_path.c_str(), konode::node_contents(node.config).c_str(),
                    konode::counted(node.config.tags.size(), "tag").c_str());
        return kDone;
    }
    if (*up_command) {
        options.start_timeout = std::chrono::seconds(timeout_s);
        return up(path, background, options);
    }
    if (*down_command)
        return down();
    if (*start_command)
        return start(name);
    (void)status_command;
    return status(json);
}
