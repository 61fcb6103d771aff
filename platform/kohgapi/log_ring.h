// log_ring.h - lines of real-time threads on their way to the node log. A
// cycle thread must not wait for the file (a mutex, fstat, write) or
// allocate, so it puts the finished line into a bounded lock-free ring and
// goes on; a plain thread of the process writes the ring out. A full ring
// drops the line and counts it; the writer then logs how many were dropped.
#pragma once

#include <cstddef>

namespace ko {

// Hands a formatted line (with its line break) to the ring; false when the
// ring was full and the line is dropped. Never blocks; allocates nothing
// after the first call of the process, which starts the writer.
bool log_ring_put(const char *line, size_t length);

// Appends a formatted line to the node log file (log.cpp): what the ring's
// writer does with each line, and what other threads do at once.
bool log_write_line(const char *line, size_t length);

}  // namespace ko
