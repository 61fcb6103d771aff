// device_health.h - whether the device answers, cycle by cycle, in tags of
// the service, for a client (is_master 1) connection:
//   SERVICE.<name>.DeviceFailures   u32  cycles in a row in which a request failed
//   SERVICE.<name>.DeviceOK         u8   0 once DeviceFailures reached
//                                        SERVICE.<name>.DeviceFailLimit (default 3),
//                                        1 again after a good cycle; property
//                                        "Reason": why it failed, in words
// A cycle is one count of the service's Live tag: the verdict on a cycle
// is given at the first request of the next. Each change of DeviceOK is
// one log line naming the device and the reason. The driver's Error and
// Connected keep their meanings.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace mb {

class DeviceHealth {
public:
    // At the first open, on the thread that opens: the tags, the limit, the entries.
    void start(const std::string &device);
    // From any cycle thread, after each request; address: the point's (6-digit).
    void note(uint32_t status, uint32_t address);

private:
    void close_cycle(bool failed);
    void set_ok(uint8_t ok, const std::string &reason);

    std::string device_;
    std::atomic<uint32_t> live_entry_{0};
    uint32_t failures_entry_ = 0, ok_entry_ = 0;
    uint32_t limit_ = 3;
    std::atomic<uint32_t> live_seen_{0};
    std::atomic<bool> started_{false}, cycle_failed_{false}, cycle_used_{false};
    std::atomic<uint32_t> last_failure_{0}, failure_address_{0};
    std::mutex verdict_lock_;  // over failures_ and ok_; a cycle thread only tries it
    uint32_t failures_ = 0;
    uint8_t ok_ = 1;
};

}  // namespace mb
