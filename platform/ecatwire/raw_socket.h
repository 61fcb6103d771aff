// raw_socket.h - one AF_PACKET socket on a named interface that sends and
// receives EtherCAT frames (EtherType 0x88A4), never its own outgoing ones.
// It needs CAP_NET_RAW.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ecatwire {

class RawSocket {
public:
    RawSocket() = default;
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    ~RawSocket();

    // False with the reason ("interface veth0: no such interface", "... needs CAP_NET_RAW").
    bool open(const std::string &interface, std::string &error);
    bool send(const uint8_t *frame, size_t size);
    // Waits up to timeout_ns (0: only what is there) for one frame; its
    // size, 0 when none came, -1 when the interface failed.
    long receive(uint8_t *buffer, size_t capacity, int64_t timeout_ns);
    const uint8_t *mac() const { return mac_; }

private:
    int fd_ = -1;
    int ifindex_ = 0;
    uint8_t mac_[6] = {};
};

}  // namespace ecatwire
