// node_files.h - what konode keeps in the node directory beside the tag
// store, so that one konode runs a node and any konode can tell about it:
//   konode.pid       the running konode's pid, locked (flock) for its whole
//                    life: the lock, not the file, says that a node runs
//   konode.children  pid, start time and name of every process it started,
//                    so that a later konode ends what an earlier one left
//   konode.notes     per service and app its restarts and state, for status
//   konode.requests  names that konode start asks the running konode to start
//   konode.ended     when the last konode of this node ended
#pragma once

#include "screen.h"

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace konode {

// The lock of the node directory, held from konode up to its end.
class NodeLock {
public:
    // Takes the lock; false when another konode holds it (other: its pid, 0 if unknown).
    bool acquire(pid_t &other);
    // Writes the pid of the konode that runs the node (after the fork of -d).
    void write_pid(pid_t pid);
    // Closes this process's descriptor; the lock stays while a forked konode holds it.
    void close_here();
    ~NodeLock() { close_here(); }

private:
    int fd_ = -1;
};

// The konode running the node in RT_NODE_DIR, or 0.
pid_t running_konode();

struct ChildRecord {
    pid_t pid;
    uint64_t start;  // RtProcessStartTime: a reused pid is not taken for the child
    std::string name;
};
void write_children(const std::vector<ChildRecord> &children);
// Ends (SIGTERM, after 5 s SIGKILL) every process an earlier konode of this
// node started that still runs; one line per process on standard error.
void end_leftovers();

using Notes = std::map<std::string, ServiceNotes>;  // "NAME" for services, "app:NAME" for apps
void write_notes(const Notes &notes);
Notes read_notes();

void add_request(const std::string &name);
std::vector<std::string> take_requests();

void write_ended();
// "2026-12-09T13:53:18Z", or "" when no konode of this node has ended.
std::string read_ended();

// Removes the files of a node that runs no more, before a new one starts.
void clear_node_files();

}  // namespace konode
