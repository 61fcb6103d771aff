// The demo node as a whole: the time from `konode up -d` to every service
// at Run 1, the memory of konode and every process it started (PSS, so that
// shared libraries and the tag store count once), and their CPU use over
// 30 s while nobody looks at the node, with the time of the children they
// reaped meanwhile (the demo's apps start short-lived programs).
#include "kohgapi.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Process {
    int pid = 0, parent = 0;
    unsigned long long ticks = 0;  // user + system, its own and its reaped children's
};

constexpr int kIdleSeconds = 30;

// Proportional set size in KiB (smaps_rollup), 0 when unreadable.
long pss_kib(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    return 0;
}

std::vector<Process> processes()
{
    std::vector<Process> all;
    DIR *proc = opendir("/proc");
    for (dirent *e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string skip;
        Process p;
        p.pid = pid;
        char state;
        unsigned long long utime = 0, stime = 0, cutime = 0, cstime = 0;
        fields >> state >> p.parent;
        for (int i = 0; i < 9; ++i)
            fields >> skip;
        fields >> utime >> stime >> cutime >> cstime;
        p.ticks = utime + stime + cutime + cstime;
        all.push_back(p);
    }
    if (proc != nullptr)
        closedir(proc);
    return all;
}

// konode and everything below it.
std::vector<Process> node_processes(int konode)
{
    std::vector<Process> all = processes(), node;
    std::vector<int> wanted{konode};
    for (size_t i = 0; i < wanted.size(); ++i)
        for (const Process &p : all) {
            if (p.pid == wanted[i])
                node.push_back(p);
            if (p.parent == wanted[i])
                wanted.push_back(p.pid);
        }
    return node;
}

int64_t tag(const char *name)
{
    int64_t value = -1;
    return KoTagRead(name, &value, 8) == KO_OK ? value : -1;
}

}  // namespace

int main(int, char **argv)
{
    char dir[] = "/tmp/iohnode-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    setenv("RT_NODE_DIR", dir, 1);
    std::string bin = std::string(argv[0]).substr(0, std::string(argv[0]).rfind('/'));
    auto start = Clock::now();
    if (std::system((bin + "/konode up -d " + DEMO_CONFIG + " > /dev/null").c_str()) != 0) {
        std::printf("node: the demo did not come up\n");
        return 1;
    }
    while (tag("SERVICE.ECAT.Run") != 1 || tag("SERVICE.MODBUS.Run") != 1) {
        if (Clock::now() - start > std::chrono::seconds(30))
            return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    double up_s = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // settled
    int konode = 0;
    std::ifstream(std::string(dir) + "/konode.pid") >> konode;
    std::vector<Process> before = node_processes(konode);
    std::vector<int> seen;
    for (const Process &p : before)
        seen.push_back(p.pid);
    size_t came_and_went = 0;
    for (auto end = Clock::now() + std::chrono::seconds(kIdleSeconds); Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const Process &p : node_processes(konode))
            if (std::find(seen.begin(), seen.end(), p.pid) == seen.end()) {
                seen.push_back(p.pid);
                ++came_and_went;
            }
    }
    std::vector<Process> after = node_processes(konode);
    long pss = 0;
    unsigned long long ticks = 0;
    for (const Process &p : after) {
        pss += pss_kib(p.pid);
        for (const Process &b : before)
            if (b.pid == p.pid)
                ticks += p.ticks - b.ticks;
    }
    double cpu = 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / kIdleSeconds;
    std::printf("demo node: up (every service at Run 1) in %.2f s; %zu processes, PSS %.1f MiB in all; "
                "idle CPU over %d s %.1f %% of one CPU (with %zu short-lived children seen and reaped)\n",
                up_s, after.size(), static_cast<double>(pss) / 1024.0, kIdleSeconds, cpu, came_and_went);
    std::system((bin + "/konode down > /dev/null").c_str());
    std::system(("rm -rf " + std::string(dir)).c_str());
    return 0;
}
