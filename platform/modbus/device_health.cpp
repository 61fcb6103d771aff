// device_health.cpp - DeviceFailures and DeviceOK of a client connection.
#include "device_health.h"

#include "kohgapi.h"
#include "modbus_status.h"

#include <cstdio>
#include <cstring>

namespace mb {
namespace {

bool is_point_misuse(uint32_t status)
{
    return (status & ~0xFFu) == MB_E_EXCEPTION_BASE;
}

uint32_t entry_of(const std::string &name)
{
    uint32_t entry = 0;
    KoTagGetProperty(name.c_str(), "Entry", &entry, 4);
    return entry;
}

// The tag of the service's point at a device address, or "".
std::string point_at(uint32_t address)
{
    for (const auto &[refs, count] : {std::pair{TagRefs_IN, KoInPortCount}, std::pair{TagRefs_Out, KoOutPortCount}})
        for (int32_t i = 0; refs != nullptr && i < count; ++i)
            if (refs[i].address == address)
                return std::string(refs[i].tag_name, strnlen(refs[i].tag_name, sizeof refs[i].tag_name));
    return {};
}

}  // namespace

void DeviceHealth::start(const std::string &device)
{
    if (started_.load())
        return;  // a reopen (the container's reconnection) keeps the count
    device_ = device;
    std::string p = std::string("SERVICE.") + KoServiceName + ".";
    KoTagCreateEx((p + "DeviceFailures").c_str(), KO_TYPE_U32, "", "consecutive cycles in which a request to the device failed");
    KoTagCreateEx((p + "DeviceOK").c_str(), KO_TYPE_U8, "", "0: the device fails (property Reason says why)");
    uint32_t limit = 0;
    if (KoTagRead((p + "DeviceFailLimit").c_str(), &limit, 4) != KO_OK || limit == 0) {
        limit = 3;
        KoTagWrite((p + "DeviceFailLimit").c_str(), &limit, 4);
    }
    limit_ = limit;
    live_entry_.store(entry_of(KoServiceLiveTag));  // 0 until the container's first cycle has made it
    failures_entry_ = entry_of(p + "DeviceFailures");
    ok_entry_ = entry_of(p + "DeviceOK");
    failures_ = 0;
    ok_ = 1;
    KoTagWriteByEntry(failures_entry_, &failures_, 4);
    KoTagWriteByEntry(ok_entry_, &ok_, 1);
    KoTagSetProperty((p + "DeviceOK").c_str(), "Reason", "");
    uint32_t live = 0;
    KoTagReadByEntry(live_entry_.load(), &live, 4);
    live_seen_.store(live);
    started_.store(true);
}

void DeviceHealth::set_ok(uint8_t ok, const std::string &reason)
{
    ok_ = ok;
    KoTagWriteByEntry(ok_entry_, &ok_, 1);
    std::string name = std::string("SERVICE.") + KoServiceName + ".DeviceOK";
    KoTagSetProperty(name.c_str(), "Reason", reason.c_str());
}

void DeviceHealth::close_cycle(bool failed)
{
    if (failed) {
        ++failures_;
        KoTagWriteByEntry(failures_entry_, &failures_, 4);
        if (ok_ == 1 && failures_ >= limit_) {
            std::string reason = HiMODBUSStatusText(last_failure_.load());
            char line[512];
            std::snprintf(line, sizeof line, "Modbus device %s failing: %s (%u cycles in a row)", device_.c_str(),
                          reason.c_str(), failures_);
            KoLogWrite(KoServiceName, "WRN", line);
            set_ok(0, reason);
        }
        return;
    }
    if (failures_ != 0) {
        failures_ = 0;
        KoTagWriteByEntry(failures_entry_, &failures_, 4);
    }
    if (ok_ == 0) {
        KoLogWrite(KoServiceName, "OPE", ("Modbus device " + device_ + " answers again").c_str());
        set_ok(1, "");
    }
}

void DeviceHealth::note(uint32_t status, uint32_t address)
{
    if (!started_.load(std::memory_order_acquire))
        return;
    uint32_t entry = live_entry_.load(std::memory_order_relaxed);
    if (entry == 0) {  // looked up until the container has made its Live tag: the first cycle at most
        entry = entry_of(KoServiceLiveTag);
        live_entry_.store(entry, std::memory_order_relaxed);
    }
    uint32_t live = 0;
    KoTagReadByEntry(entry, &live, 4);
    uint32_t seen = live_seen_.load();
    if (live != seen && live_seen_.compare_exchange_strong(seen, live)) {
        bool used = cycle_used_.exchange(false);
        bool failed = cycle_failed_.exchange(false);
        std::unique_lock lock(verdict_lock_, std::try_to_lock);
        if (used && lock.owns_lock())
            close_cycle(failed);
    }
    cycle_used_.store(true);
    if (status == MB_OK)
        return;
    last_failure_.store(status);
    cycle_failed_.store(true);
    if (is_point_misuse(status) && failure_address_.exchange(address) != address) {
        std::string point = point_at(address), reason = HiMODBUSStatusText(status);
        char line[700];
        std::snprintf(line, sizeof line, "Modbus device %s refused point %s (address %06u): %s", device_.c_str(),
                      point.empty() ? "?" : point.c_str(), address, reason.c_str());
        KoLogWrite(KoServiceName, "ERR", line);
        std::printf("E$MODBUS %s\n", line);
        std::fflush(stdout);
        std::lock_guard lock(verdict_lock_);
        set_ok(0, "point " + (point.empty() ? std::string("?") : point) + " (address " + std::to_string(address) +
                      "): " + reason);
    }
}

}  // namespace mb
