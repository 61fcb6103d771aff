// raw_socket.cpp - the packet socket under the wire master and the terminal
// simulator.
#include "raw_socket.h"

#include "ethercat.h"
#include "monotonic.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ecatwire {

RawSocket::~RawSocket()
{
    if (fd_ >= 0)
        close(fd_);
}

bool RawSocket::open(const std::string &interface, std::string &error)
{
    std::string where = "interface " + interface + ": ";
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        error = where + "not an interface name (1 to 15 characters)";
        return false;
    }
    ifindex_ = static_cast<int>(if_nametoindex(interface.c_str()));
    if (ifindex_ == 0) {
        error = where + "no such interface";
        return false;
    }
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    if (fd_ < 0) {
        error = where + "no packet socket: " + std::strerror(errno) +
                (errno == EPERM ? " (it needs CAP_NET_RAW: run as root or setcap cap_net_raw+ep)" : "");
        return false;
    }
    // Our own frames are no answers (receive() checks the packet type as well,
    // for kernels without this option).
    int one = 1;
    setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kEtherType);
    address.sll_ifindex = ifindex_;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = where + "cannot bind: " + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd_, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) == 0) {
        error = where + "is down (ip link set " + interface + " up)";
        return false;
    }
    if (ioctl(fd_, SIOCGIFHWADDR, &request) == 0)
        std::memcpy(mac_, request.ifr_hwaddr.sa_data, 6);
    // Frames queued before this socket was bound belong to nobody here.
    uint8_t drain[kMaxFrame];
    while (recv(fd_, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    return true;
}

bool RawSocket::send(const uint8_t *frame, size_t size)
{
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame, 6);
    return sendto(fd_, frame, size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == static_cast<ssize_t>(size);
}

long RawSocket::receive(uint8_t *buffer, size_t capacity, int64_t timeout_ns)
{
    int64_t deadline = ecatsim::now_ns() + timeout_ns;
    for (;;) {
        sockaddr_ll from{};
        socklen_t from_size = sizeof from;
        ssize_t got = recvfrom(fd_, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_size);
        if (got > 0 && from.sll_pkttype != PACKET_OUTGOING)
            return got;
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        if (got > 0)
            continue;
        int64_t left = deadline - ecatsim::now_ns();
        if (left <= 0)
            return 0;
        pollfd p{fd_, POLLIN, 0};
        timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (ppoll(&p, 1, &wait, nullptr) < 0 && errno != EINTR)
            return -1;
    }
}

}  // namespace ecatwire
