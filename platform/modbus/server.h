// server.h - the node's register map served to outside masters (is_master 0).
//
// Modbus TCP: one thread serves every master on its own, with non-blocking
// sockets and a state per connection, so that no master can hold another:
// a request is answered as soon as its frame is whole; exceptions go out at
// once; a half frame older than 1 s, a connection idle for 60 s and a master
// whose replies do not drain within 1 s are closed (the last logged once per
// address). Masters not in the allow list, and those past max_connections,
// are closed at once and logged once per address. The map's lock is held
// only to copy items, never around socket I/O.
//
// Modbus RTU: a serial line, answering the requests for its unit id.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ko {
struct ModbusDecl;
}

namespace mb {

// Who may connect: networks as (address, mask) in host order; empty: any.
struct ServerRules {
    std::vector<std::pair<uint32_t, uint32_t>> allow;
    uint32_t max_connections = 16;
};

class Server {
public:
    uint32_t start_tcp(const std::string &ip, int port, const ServerRules &rules);
    uint32_t start_rtu(const ko::ModbusDecl &line);
    void stop();
    ~Server() { stop(); }

private:
    void serve_tcp(int listener, ServerRules rules);
    void serve_rtu(void *context);

    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace mb
