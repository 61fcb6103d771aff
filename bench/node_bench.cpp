// The demo node as a whole: the time from `konode up -d` to every service
// at Run 1, the memory (RSS) of konode and every process it started, and
// their CPU use over 5 s while nobody looks at the node.
#include "kohgapi.h"

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
    long rss_pages = 0;
    unsigned long long ticks = 0;  // user + system
};

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
        unsigned long long utime = 0, stime = 0;
        fields >> state >> p.parent;
        for (int i = 0; i < 9; ++i)
            fields >> skip;
        fields >> utime >> stime;
        for (int i = 0; i < 8; ++i)
            fields >> skip;
        fields >> p.rss_pages;
        p.ticks = utime + stime;
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
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::vector<Process> after = node_processes(konode);
    long rss = 0;
    unsigned long long ticks = 0;
    for (const Process &p : after) {
        rss += p.rss_pages;
        for (const Process &b : before)
            if (b.pid == p.pid)
                ticks += p.ticks - b.ticks;
    }
    double cpu = 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / 5.0;
    std::printf("demo node: up (every service at Run 1) in %.2f s; %zu processes, RSS %.1f MiB in all; "
                "idle CPU %.1f %% of one CPU\n",
                up_s, after.size(), static_cast<double>(rss) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0,
                cpu);
    std::system((bin + "/konode down > /dev/null").c_str());
    std::system(("rm -rf " + std::string(dir)).c_str());
    return 0;
}
