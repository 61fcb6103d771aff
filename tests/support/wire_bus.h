// wire_bus.h - an EtherCAT cable for a test: a veth pair named after the
// test process, with ecatslaves answering on its far end. Making the pair
// needs CAP_NET_ADMIN; a test asks available() first and skips without it.
#pragma once

#include "child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace testnode {

class WireBus {
public:
    // Whether this process may make network interfaces; why not, if not.
    static bool available(std::string &why);

    explicit WireBus(std::string ecatslaves_path);
    ~WireBus();  // ends ecatslaves and removes the pair
    WireBus(const WireBus &) = delete;
    WireBus &operator=(const WireBus &) = delete;

    // The master's end ("ecw<pid>m") and the slaves' end ("ecw<pid>s").
    const std::string &master_end() const { return master_; }
    const std::string &slave_end() const { return slave_; }
    // Starts ecatslaves on the far end with args (--bus FILE ...) and waits
    // until it answers; false when it did not come up (its output in why).
    bool start_slaves(const std::vector<std::string> &args, std::string *why = nullptr);
    // Ends ecatslaves at once, as a pulled cable would.
    void pull_cable();
    // Starts ecatslaves again with the arguments of its last start.
    bool plug_back() { return start_slaves(last_args_); }

private:
    std::string program_, master_, slave_;
    std::vector<std::string> last_args_;
    std::unique_ptr<Child> slaves_;
};

// The link of a test's EtherCAT bus lost or back: the simulated master's
// LinkLoss switch of bus when wire is null, else the cable pulled or
// plugged back.
void lose_link(WireBus *wire, const std::string &bus, bool lost);

}  // namespace testnode
