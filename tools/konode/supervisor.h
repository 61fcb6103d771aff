// supervisor.h - runs a node: one iohost per service and the node's apps,
// started in config order, each service run once it reports its start-up
// done (RT_READY_FD) when it is autostart. The node is up once every
// autostart service runs connected (Status, Run and Connected 1) and every
// other service has set itself up. A child that fails is restarted the way
// systemd's Restart=on-failure does it: after 0.1 s, doubling up to 5 s,
// and given up after 5 starts within 10 s; one that exits with 0 stays
// stopped until konode start (SIGUSR1 with its name in konode.requests). SIGINT or SIGTERM ends
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
    // Told "up\n" once every service is up, or "failed\n" and a line per
    // service that did not start within start_timeout; then closed.
    int up_fd = -1;
    std::chrono::steady_clock::duration start_timeout = std::chrono::seconds(15);
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

// Runs the node until a signal ends it; the exit code of konode up.
int run_node(const CheckedNode &node, const RunOptions &options);

}  // namespace konode
