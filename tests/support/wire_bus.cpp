// wire_bus.cpp - the veth pair and the ecatslaves process of a wire test.
#include "wire_bus.h"

#include "kohgapi.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace testnode {
namespace {

bool ip(const std::vector<std::string> &args, std::string *err = nullptr)
{
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run_program(argv);
    if (err != nullptr)
        *err = r.err;
    return r.code == 0;
}

// Pairs that test processes killed before their clean-up left behind.
void remove_orphans()
{
    RunResult links = run_program({"ip", "-o", "link", "show", "type", "veth"});
    size_t at = 0;
    while ((at = links.out.find(": ecw", at)) != std::string::npos) {
        at += 5;
        size_t end = links.out.find_first_not_of("0123456789", at);
        if (end == std::string::npos || end == at || links.out[end] != 'm')
            continue;
        std::string pid = links.out.substr(at, end - at);
        if (access(("/proc/" + pid).c_str(), F_OK) != 0)
            ip({"link", "del", "ecw" + pid + "m"});
    }
}

}  // namespace

bool WireBus::available(std::string &why)
{
    if (geteuid() != 0) {
        why = "making a veth pair needs CAP_NET_ADMIN (run as root)";
        return false;
    }
    std::string name = "ecwprobe" + std::to_string(getpid() % 100000);
    if (!ip({"link", "add", name, "type", "veth", "peer", "name", name + "p"}, &why)) {
        why = "ip link add failed: " + why;
        return false;
    }
    ip({"link", "del", name});
    return true;
}

WireBus::WireBus(std::string ecatslaves_path)
    : program_(std::move(ecatslaves_path)), master_("ecw" + std::to_string(getpid()) + "m"),
      slave_("ecw" + std::to_string(getpid()) + "s")
{
    remove_orphans();
    ip({"link", "del", master_});  // a pair an earlier process of this pid left
    ip({"link", "add", master_, "type", "veth", "peer", "name", slave_});
    for (const std::string &end : {master_, slave_}) {
        ip({"link", "set", end, "up"});
        // Nothing but EtherCAT on the cable: no IPv6 chatter on the ends.
        run_program({"sysctl", "-q", "-w", "net.ipv6.conf." + end + ".disable_ipv6=1"});
    }
}

WireBus::~WireBus()
{
    slaves_.reset();
    ip({"link", "del", master_});
}

bool WireBus::start_slaves(const std::vector<std::string> &args, std::string *why)
{
    last_args_ = args;
    std::vector<std::string> argv = {program_, "--interface", slave_};
    argv.insert(argv.end(), args.begin(), args.end());
    slaves_ = std::make_unique<Child>(Child::program(argv));
    std::string line = slaves_->read_line(10000);
    if (why != nullptr)
        *why = line;
    return line.find(" answer on ") != std::string::npos;
}

void WireBus::pull_cable()
{
    if (slaves_ != nullptr) {
        kill(slaves_->pid(), SIGKILL);
        slaves_->wait();
        slaves_.reset();
    }
}

void lose_link(WireBus *wire, const std::string &bus, bool lost)
{
    if (wire == nullptr) {
        uint8_t value = lost ? 1 : 0;
        ASSERT_EQ(KoTagWrite(("ECATSIM." + bus + ".Fault.LinkLoss").c_str(), &value, 1), KO_OK);
    } else if (lost) {
        wire->pull_cable();
    } else {
        ASSERT_TRUE(wire->plug_back());
    }
}

}  // namespace testnode
