// konode - the node launcher: builds a node from its config and runs it.
//
//   konode check NODE.toml      the config and the files it names; nothing is started
//   konode up NODE.toml [-d] [--quiet]
//                               the node in RT_NODE_DIR: its config copied there, a
//                               fresh tag store, one iohost per service, the apps;
//                               a live screen until Ctrl-C or SIGTERM (-d: in the
//                               background, returning once every service is up)
//   konode down                 ends the node konode runs in RT_NODE_DIR
//   konode status               the screen, once
// Exit: 0 done, 1 failed, 2 the config is wrong (every error: file, line, column, key).
#include "kohgapi.h"
#include "node_check.h"
#include "rt.h"
#include "screen.h"
#include "supervisor.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kDone = 0, kFailed = 1, kBadConfig = 2;

bool checked(const std::string &path, konode::CheckedNode &node)
{
    std::vector<std::string> errors;
    if (konode::check_node(path, node, errors))
        return true;
    for (const std::string &e : errors)
        std::fprintf(stderr, "%s\n", e.c_str());
    return false;
}

// The konode running the node in RT_NODE_DIR, or 0.
pid_t running_konode()
{
    std::ifstream in(konode::pid_file());
    pid_t pid = 0;
    if (!(in >> pid) || pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH))
        return 0;
    return pid;
}

bool copy_file(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return in.good() && out.good();
}

// The node directory made ready: the config copied in (with the bus files it
// names beside it), a fresh tag store seeded from it.
bool prepare_node(const konode::CheckedNode &node, std::string &dir)
{
    dir = RtNodeDirectory();
    if (std::string why = RtNodeDirectoryError(); !why.empty()) {
        std::fprintf(stderr, "konode: %s\n", why.c_str());
        return false;
    }
    setenv("RT_NODE_DIR", dir.c_str(), 1);  // the children's node
    if (pid_t other = running_konode(); other != 0) {
        std::fprintf(stderr, "konode: a node runs in %s already (konode pid %d); konode down ends it\n", dir.c_str(),
                     static_cast<int>(other));
        return false;
    }
    std::string config_dir = node.config_path.substr(0, node.config_path.rfind('/') + 1);
    if (!copy_file(node.config_path, dir + "/node.toml")) {
        std::fprintf(stderr, "konode: cannot copy %s to %s/node.toml\n", node.config_path.c_str(), dir.c_str());
        return false;
    }
    for (const ko::EthercatDecl &e : node.config.ethercat) {
        if (e.bus.rfind(config_dir, 0) != 0)
            continue;  // an absolute path outside: used where it is
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

int run_with_pid_file(const konode::CheckedNode &node, const konode::RunOptions &options)
{
    std::ofstream(konode::pid_file()) << getpid() << "\n";
    int code = konode::run_node(node, options);
    unlink(konode::pid_file().c_str());
    return code;
}

int up(const std::string &path, bool background, bool quiet)
{
    konode::CheckedNode node;
    if (!checked(path, node))
        return kBadConfig;
    std::string dir;
    if (!prepare_node(node, dir))
        return kFailed;
    if (!background)
        return run_with_pid_file(node, {quiet, -1});
    int up_pipe[2];
    if (pipe(up_pipe) != 0)
        return kFailed;
    pid_t pid = fork();
    if (pid == 0) {
        close(up_pipe[0]);
        setsid();
        int out = open((dir + "/konode.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(out, 1);
        dup2(out, 2);
        _exit(run_with_pid_file(node, {true, up_pipe[1]}));
    }
    close(up_pipe[1]);
    char word[8] = {};
    pollfd p{up_pipe[0], POLLIN, 0};
    bool up = poll(&p, 1, 60000) > 0 && read(up_pipe[0], word, 3) == 3 && std::strcmp(word, "up\n") == 0;
    close(up_pipe[0]);
    if (!up) {
        std::fprintf(stderr, "konode: the node did not come up; see %s/konode.out and ko log\n", dir.c_str());
        return kFailed;
    }
    std::printf("node up in %s (konode pid %d); konode down ends it\n", dir.c_str(), static_cast<int>(pid));
    return kDone;
}

int down()
{
    pid_t pid = running_konode();
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

int status()
{
    KoStoreAttachOnly();
    ko::NodeConfig config;
    std::string error;
    if (!ko::load_node_config(ko::node_config_path(), config, error)) {
        std::fprintf(stderr, "konode: %s\n", error.c_str());
        return kFailed;
    }
    if (std::string why = KoStoreError(); !why.empty()) {
        std::fprintf(stderr, "konode: %s\n", why.c_str());
        return kFailed;
    }
    std::fputs(konode::render_screen(config, {}).c_str(), stdout);
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
    bool background = false, quiet = false;
    auto *up_command = app.add_subcommand("up", "run the node of a config until Ctrl-C or SIGTERM");
    up_command->add_option("NODE.toml", path, "the node config")->required();
    up_command->add_flag("-d,--detach", background, "run in the background; return once every service is up");
    up_command->add_flag("-q,--quiet", quiet, "no screen and no status lines");
    auto *down_command = app.add_subcommand("down", "end the node konode runs in RT_NODE_DIR");
    auto *status_command = app.add_subcommand("status", "print the node's status screen once");
    app.footer("Exit: 0 done, 1 failed, 2 the config is wrong.\nExample: RT_NODE_DIR=/tmp/plant konode up demo/node.toml");
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
    if (*up_command)
        return up(path, background, quiet);
    if (*down_command)
        return down();
    (void)status_command;
    return status();
}
