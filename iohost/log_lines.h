// log_lines.h - the numbers the container's log lines end in
// (",korecode,NNNNN" and ",userfunc,NNNNN"), one table per source name.
// They are fixed: operators search the node log for them and tests pin
// them, so they never follow the lines of our own sources. The settings'
// lines sit in the settings table (service_tags.cpp), the missing-table
// lines in the thread table (service_thread.cpp).
#pragma once

namespace korecode_line {
enum Line : int {
    kTagNameTooLong = 60,
    kStatusChange = 195,
    kErrorStatus = 227,
    kConnectStatus = 238,
    kServiceRun = 337,
    kServiceStop = 345,
    kServicePause = 349,
    kInSegmentMemory = 507,
    kOutSegmentMemory = 722,
    kOpenError = 1145,
};
}  // namespace korecode_line

namespace userfunc_line {
enum Line : int {
    kInitStart = 30,
    kInitFailure = 40,
    kInitEnd = 56,
    kOpenStart = 73,
    kOpenFailure = 82,
    kOpenSuccess = 88,
    kOpenEnd = 96,
    kCloseStart = 112,
    kCloseEnd = 121,
};
}  // namespace userfunc_line
