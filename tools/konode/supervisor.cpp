// supervisor.cpp - the node's children: start, readiness, run code,
// restarts with back-off, the start report, the status screen, and the end.
//
// Decisions:
// - A child that exits with 0 ended on purpose (ko ctl SERVICE stop, or an
//   app that finished): it stays "stopped" until konode start NAME; only a
//   failure (another exit code, a signal) is restarted.
// - Every child dies with konode (PR_SET_PDEATHSIG), so a konode killed
//   with SIGKILL leaves no service attached to a store nobody runs.
// - A service whose process is gone cannot clear its own flags: konode
//   writes its Status, Run and Connected, and the State of the EtherCAT
//   master it ran, to 0.
// - Each service's real-time threads run on one CPU (RT_CPU), the services
//   spread over the CPUs konode may use from the last one down, so that
//   threads stop migrating under SCHED_OTHER too; an RT_CPU in konode's own
//   environment is passed on instead.
#include "supervisor.h"

#include "kohgapi.h"
#include "node_check.h"
#include "node_files.h"
#include "rt.h"
#include "screen.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <cstddef>
#include <thread>
#include <unistd.h>
#include <vector>

namespace konode {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kStartBurst = 5;
constexpr auto kStartInterval = std::chrono::seconds(10);
constexpr auto kEndWait = std::chrono::seconds(5);
constexpr auto kReadyWait = std::chrono::seconds(30);

// The CPU of the i-th service: the CPUs konode may use, from the last down.
std::string service_cpu(size_t i)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
            if (CPU_ISSET(cpu, &allowed))
                cpus.push_back(cpu);
    return cpus.empty() ? "any" : std::to_string(cpus[i % cpus.size()]);
}

volatile sig_atomic_t ending = 0;
volatile sig_atomic_t requested = 0;

void on_signal(int)
{
    ending = 1;
}

void on_request(int)
{
    requested = 1;
}

// The last line a child wrote to its console, or "".
std::string last_console_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    return last;
}

int64_t tag_number(const std::string &name)
{
    int64_t value = -1;
    return KoTagRead(name.c_str(), &value, 8) == KO_OK ? value : -1;
}

struct Child {
    bool service = true;
    std::string name;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    bool autostart = false;
    pid_t pid = 0;
    int ready_fd = -1;
    Clock::time_point started;
    std::deque<Clock::time_point> starts;
    Clock::time_point restart_at{};
    bool restart_due = false;
    bool given_up = false;
    bool stopped = false;  // ended with 0: not restarted until konode start
    bool ready = false;
    uint64_t start_time = 0;  // RtProcessStartTime of pid
    ServiceNotes notes;
};

class Supervisor {
public:
    Supervisor(const CheckedNode &node, const RunOptions &options) : node_(node), options_(options) {}

    int run()
    {
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        action.sa_handler = on_request;
        sigaction(SIGUSR1, &action, nullptr);
        signal(SIGPIPE, SIG_IGN);
        make_children();
        for (Child &c : children_)
            start(c);
        auto start_deadline = Clock::now() + options_.start_timeout;
        bool reported = false;
        auto last_lines = Clock::now() - std::chrono::seconds(10);
        while (!ending) {
            reap();
            take_readiness();
            if (requested) {
                requested = 0;
                start_requested();
            }
            restart_due_children();
            if (!reported)
                reported = report_start(Clock::now() > start_deadline);
            publish_notes();
            show(last_lines, reported);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return end_all();
    }

private:
    // Up: an autostart service runs connected, another has set itself up.
    static bool service_up(const Child &c)
    {
        std::string p = "SERVICE." + c.name + ".";
        if (!c.ready || tag_number(p + "Status") != 1)
            return false;
        return !c.autostart || (tag_number(p + "Run") == 1 && tag_number(p + "Connected") == 1);
    }

    // Why a service is not up, with the last word of its console.
    std::string not_up(const Child &c) const
    {
        std::string p = "SERVICE." + c.name + ".", why;
        if (c.given_up || c.stopped)
            why = c.notes.state;
        else if (!c.ready)
            why = "its set-up did not finish";
        else
            why = "Status " + std::to_string(tag_number(p + "Status")) + ", Run " +
                  std::to_string(tag_number(p + "Run")) + ", Connected " +
                  std::to_string(tag_number(p + "Connected")) + ", Error " + std::to_string(tag_number(p + "Error"));
        std::string console = last_console_line(console_file(c));
        return "service " + c.name + " did not start: " + why +
               (console.empty() ? "" : "; its console says: " + console);
    }

    // Once every service is up, or the start time is over (or every service
    // that is not up has ended for good): "node up", or each service that
    // did not start. true once reported.
    bool report_start(bool time_over)
    {
        std::vector<std::string> failures;
        bool waiting = false;
        for (const Child &c : children_) {
            if (!c.service || service_up(c))
                continue;
            failures.push_back(not_up(c));
            waiting = waiting || !(c.given_up || c.stopped);
        }
        if (!failures.empty() && waiting && !time_over)
            return false;
        std::string message;
        if (failures.empty()) {
            event("INF", "node up: " + node_contents(node_.config));
            notify_systemd();
            message = "up\n";
        } else {
            message = "failed\n";
            for (const std::string &f : failures) {
                event("ERR", f);
                message += f + "\n";
            }
        }
        if (options_.up_fd >= 0) {
            [[maybe_unused]] ssize_t n = write(options_.up_fd, message.data(), message.size());
            close(options_.up_fd);
        }
        return true;
    }

    void publish_notes()
    {
        Notes notes;
        for (const Child &c : children_)
            notes[(c.service ? "" : "app:") + c.name] = c.notes;
        if (notes != published_) {
            write_notes(notes);
            published_ = notes;
        }
    }

    void record_children() const
    {
        std::vector<ChildRecord> records;
        for (const Child &c : children_)
            if (c.pid > 0)
                records.push_back({c.pid, c.start_time, c.name});
        write_children(records);
    }

    // konode start NAME: a stopped or given-up child starts afresh.
    void start_requested()
    {
        for (const std::string &name : take_requests())
            for (Child &c : children_) {
                if (c.name != name)
                    continue;
                if (c.pid > 0 || c.restart_due) {
                    event("INF", label(c) + " runs already");
                    continue;
                }
                c.given_up = c.stopped = false;
                c.starts.clear();
                event("INF", "starting " + label(c) + " (konode start)");
                start(c);
            }
    }

    // A dead service cannot clear its flags: they and its master's state go to 0.
    void clear_service_tags(const Child &c) const
    {
        uint8_t zero = 0;
        for (const char *key : {"Status", "Run", "Connected"})
            KoTagWrite(("SERVICE." + c.name + "." + key).c_str(), &zero, 1);
        for (const std::string &master : masters_of(node_.config, c.name))
            KoTagWrite((master + "State").c_str(), &zero, 1);
    }

    // Under systemd's Type=notify: READY=1 once every service is up.
    static void notify_systemd()
    {
        const char *socket_path = std::getenv("NOTIFY_SOCKET");
        if (socket_path == nullptr || socket_path[0] == '\0')
            return;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path, sizeof address.sun_path - 1);
        if (address.sun_path[0] == '@')
            address.sun_path[0] = '\0';  // an abstract socket
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(socket_path));
        [[maybe_unused]] ssize_t n = sendto(fd, "READY=1", 7, 0, reinterpret_cast<sockaddr *>(&address), length);
        close(fd);
    }

    void make_children()
    {
        std::string iohost = program_dir() + "/iohost";
        for (size_t i = 0; i < node_.config.services.size(); ++i) {
            const ko::ServiceDecl &s = node_.config.services[i];
            Child c;
            c.name = s.name;
            c.argv = {iohost, "-rsl", node_.drivers[i]};
            c.env = {"KO_SERVICE=" + s.name};
            if (std::getenv("RT_CPU") == nullptr)
                c.env.push_back("RT_CPU=" + service_cpu(i));
            c.autostart = s.autostart;
            children_.push_back(c);
        }
        const char *path = std::getenv("PATH");
        for (size_t i = 0; i < node_.config.apps.size(); ++i) {
            Child c;
            c.service = false;
            c.name = node_.config.apps[i].name;
            c.argv = node_.config.apps[i].command;
            c.argv[0] = node_.app_programs[i];
            c.env = {"PATH=" + program_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")};
            children_.push_back(c);
        }
    }

    std::string label(const Child &c) const { return (c.service ? "service " : "app ") + c.name; }

    static std::string console_file(const Child &c)
    {
        return std::string(RtNodeDirectory()) + "/" + c.name + ".console";
    }

    void start(Child &c)
    {
        int ready[2] = {-1, -1};
        if (c.service && pipe2(ready, O_CLOEXEC) != 0) {
            event("ERR", label(c) + ": cannot make its start-up pipe: " + std::strerror(errno));
            return;
        }
        pid_t konode_pid = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // the child ends with konode
            if (getppid() != konode_pid)
                _exit(1);  // konode died before the line above
            for (const std::string &e : c.env)
                putenv(strdup(e.c_str()));
            if (c.service) {
                int fd = dup(ready[1]);  // without close-on-exec: iohost writes to it
                setenv("RT_READY_FD", std::to_string(fd).c_str(), 1);
            }
            setpgid(0, 0);  // Ctrl-C at the terminal reaches konode, which ends the children
            // The child's console goes to a file of the node, not over the screen.
            int console = open(console_file(c).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
            if (console >= 0) {
                dup2(console, STDOUT_FILENO);
                dup2(console, STDERR_FILENO);
            }
            std::vector<char *> argv;
            for (const std::string &a : c.argv)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            std::fprintf(stderr, "konode: cannot start %s: %s\n", argv[0], std::strerror(errno));
            _exit(127);
        }
        if (c.service) {
            close(ready[1]);
            c.ready_fd = ready[0];
        }
        if (pid < 0) {
            event("ERR", label(c) + ": cannot start: " + std::strerror(errno));
            close(c.ready_fd);
            c.ready_fd = -1;
            return;
        }
        c.pid = pid;
        c.start_time = RtProcessStartTime(pid);
        record_children();
        c.ready = !c.service;
        c.started = Clock::now();
        c.starts.push_back(c.started);
        c.notes.state = c.service ? "starting" : "running";
    }

    // A service's start-up is done when it writes to its pipe.
    void take_readiness()
    {
        for (Child &c : children_) {
            if (c.ready_fd < 0)
                continue;
            pollfd p{c.ready_fd, POLLIN, 0};
            bool timed_out = Clock::now() - c.started > kReadyWait;
            if (poll(&p, 1, 0) <= 0 && !timed_out)
                continue;
            char byte = 0;
            bool ready = !timed_out && read(c.ready_fd, &byte, 1) == 1;
            close(c.ready_fd);
            c.ready_fd = -1;
            if (!ready) {
                if (timed_out)
                    event("WRN", label(c) + ": no start-up report within 30 s");
                continue;  // the exit, when it comes, is handled by reap
            }
            c.ready = true;
            c.notes.state = "running";
            if (c.autostart)
                send_run(c);
        }
    }

    void send_run(Child &c)
    {
        uintptr_t mailbox = 0;
        uint32_t status = KoMailboxOpenByService(c.name.c_str(), KO_MAILBOX_SEND, &mailbox);
        if (status == KO_OK) {
            status = KoMailboxSend(mailbox, c.name.c_str(), EM_SERVICE_RUN, nullptr, 0);
            KoMailboxClose(mailbox);
        }
        if (status != KO_OK)
            event("WRN", label(c) + ": the run code was not delivered: " + KoStatusText(status));
    }

    void reap()
    {
        int status = 0;
        for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;)
            for (Child &c : children_)
                if (c.pid == pid)
                    died(c, status);
    }

    static std::string how(int status)
    {
        if (WIFEXITED(status))
            return "exited with " + std::to_string(WEXITSTATUS(status));
        return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    }

    // Restart=on-failure with a start limit: back-off doubling from 0.1 s.
    void died(Child &c, int status)
    {
        c.pid = 0;
        c.ready = false;
        if (c.ready_fd >= 0) {
            close(c.ready_fd);
            c.ready_fd = -1;
        }
        record_children();
        if (c.service)
            clear_service_tags(c);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            c.stopped = true;
            c.notes.state = c.service ? "stopped" : "ended";
            event("INF", label(c) + " ended with 0: not restarted (konode start " + c.name + " starts it again)");
            return;
        }
        auto now = Clock::now();
        while (!c.starts.empty() && now - c.starts.front() > kStartInterval)
            c.starts.pop_front();
        if (c.starts.size() >= kStartBurst) {
            c.given_up = true;
            c.notes.state = "given up: " + how(status);
            event("ERR", label(c) + " " + how(status) + "; given up after " + std::to_string(kStartBurst) +
                             " starts within 10 s (its console: " + console_file(c) + ")");
            return;
        }
        Clock::duration delay = restart_delay(c.starts.size());
        c.restart_at = now + delay;
        c.restart_due = true;
        char text[512];
        std::snprintf(text, sizeof text, "%s %s; restarting in %.1f s (its console: %s)", label(c).c_str(),
                      how(status).c_str(), std::chrono::duration<double>(delay).count(), console_file(c).c_str());
        c.notes.state = "restarting";
        event("WRN", text);
    }

    void restart_due_children()
    {
        for (Child &c : children_)
            if (c.restart_due && Clock::now() >= c.restart_at) {
                c.restart_due = false;
                ++c.notes.restarts;
                start(c);
            }
    }

    void event(const char *level, const std::string &text)
    {
        KoLogWrite("konode", level, text.c_str());
        std::string line = clock_text() + " " + text;
        if (options_.quiet)
            return;
        if (isatty(STDOUT_FILENO)) {
            events_.push_back(line);
            if (events_.size() > 6)
                events_.pop_front();
        } else {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    }

    static std::string clock_text()
    {
        time_t t = time(nullptr);
        tm local{};
        localtime_r(&t, &local);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
        return text;
    }

    // On a terminal the screen is redrawn in place; otherwise a timestamped
    // line per service every 5 s.
    void show(Clock::time_point &last_lines, bool up)
    {
        if (options_.quiet)
            return;
        if (isatty(STDOUT_FILENO)) {
            std::map<std::string, ServiceNotes> notes;
            for (const Child &c : children_)
                notes[(c.service ? "" : "app:") + c.name] = c.notes;
            std::string screen = render_screen(node_.config, notes);
            std::string lines;
            for (const std::string &e : events_)
                lines += e + "\n";
            std::printf("\033[H\033[J%s\n%sCtrl-C ends the node.\n", screen.c_str(), lines.c_str());
            std::fflush(stdout);
        } else if (up && Clock::now() - last_lines >= std::chrono::seconds(5)) {  // from the node's start on
            last_lines = Clock::now();
            std::fputs(render_lines(node_.config).c_str(), stdout);
            std::fflush(stdout);
        }
    }

    // SIGTERM to every child, 5 s to end, then SIGKILL and a report.
    int end_all()
    {
        event("INF", "ending the node");
        for (Child &c : children_)
            if (c.pid > 0)
                kill(c.service ? c.pid : -c.pid, SIGTERM);  // an app's process group: its own children too
        bool clean = true;
        auto deadline = Clock::now() + kEndWait;
        for (;;) {
            int status = 0;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            for (Child &c : children_)
                if (pid > 0 && c.pid == pid) {
                    c.pid = 0;
                    bool ok = c.service ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                                        : (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                                              (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
                    clean = clean && ok;
                    event(ok ? "INF" : "WRN", label(c) + " ended" + (ok ? "" : ": " + how(status)));
                }
            bool left = std::any_of(children_.begin(), children_.end(), [](const Child &c) { return c.pid > 0; });
            if (!left)
                break;
            if (Clock::now() > deadline) {
                for (Child &c : children_)
                    if (c.pid > 0) {
                        kill(c.service ? c.pid : -c.pid, SIGKILL);
                        waitpid(c.pid, nullptr, 0);
                        event("ERR", label(c) + " did not end within 5 s: killed");
                        c.pid = 0;
                        clean = false;
                    }
                break;
            }
            if (pid <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (const Child &c : children_)
            clean = clean && !c.given_up;
        record_children();
        write_ended();
        return clean ? 0 : 1;
    }

    const CheckedNode &node_;
    RunOptions options_;
    std::vector<Child> children_;
    std::deque<std::string> events_;
    Notes published_;
};

}  // namespace

int run_node(const CheckedNode &node, const RunOptions &options)
{
    return Supervisor(node, options).run();
}

}  // namespace konode
