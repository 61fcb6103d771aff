// supervisor.h - runs a node: one iohost per service and the node's apps,
// started in config order, each service run once it reports its start-up
// done (RT_READY_FD) when it is autostart. A child that dies is restarted
// the way systemd's Restart=on-failure does it: after 0.1 s, doubling up to
// 5 s, and given up after 5 starts within 10 s. SIGINT or SIGTERM ends
// every child with SIGTERM (the services' end notification), waits up to
// 5 s, then kills and reports what is left. Each child's standard output
// and error go to RT_NODE_DIR/NAME.console.
#pragma once

#include "node_check.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace konode {

struct RunOptions {
    bool quiet = false;
    int up_fd = -1;  // -d: told "up" once every service is ready, then closed
};

// The wait before a restart, given the starts left in the 10 s window: 0.1 s
// for the first (also after a long healthy run, when none is left),
// doubling with each further start, at most 5 s.
inline std::chrono::steady_clock::duration restart_delay(size_t starts_in_window)
{
    using namespace std::chrono;
    size_t doublings = std::min<size_t>(starts_in_window > 0 ? starts_in_window - 1 : 0, 6);
    return std::min<steady_clock::duration>(milliseconds(100) * (1 << doublings), seconds(5));
}

// The node directory's pid file of a running konode.
std::string pid_file();

// Runs the node until a signal ends it; the exit code of konode up.
int run_node(const CheckedNode &node, const RunOptions &options);

}  // namespace konode
