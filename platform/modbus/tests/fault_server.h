// fault_server.h - a libmodbus TCP server for the tests, whose holding
// registers answer well except at the addresses below (zero-based, as on
// the wire), which fail in one way each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <modbus.h>
#include <mutex>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fault {

constexpr int kRegisters = 300;
constexpr int kBusyAddress = 150;       // answers exception 6 (server busy)
constexpr int kIllegalAddress = 160;    // answers exception 2 (illegal data address)
constexpr int kStallAddress = 170;      // answers only after kStallMs
constexpr int kCutAddress = 180;        // closes the connection
constexpr int kStallMs = 800;
constexpr int kClientTimeoutMs = 200;   // the tests' response timeout, below kStallMs

// Each connection is served by a thread of its own, with a context of its
// own over the accepted socket, so a stalled answer on one connection holds
// up no other: a client that gave up on it and reconnected is served at once.
class Server {
public:
    explicit Server(int port) : port_(port)
    {
        mapping_ = modbus_mapping_new(0, 0, kRegisters, 0);
        for (int i = 0; i < kRegisters; ++i)
            mapping_->tab_registers[i] = static_cast<uint16_t>(500 + i);
        context_ = modbus_new_tcp("127.0.0.1", port);
        listener_ = modbus_tcp_listen(context_, 4);
        acceptor_ = std::thread([this] { accept_connections(); });
    }
    ~Server()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (int socket : sockets_)
                ::shutdown(socket, SHUT_RDWR);
        }
        for (std::thread &t : connections_)
            t.join();
        for (int socket : sockets_)
            ::close(socket);
        ::close(listener_);
        modbus_free(context_);
        modbus_mapping_free(mapping_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void accept_connections()
    {
        while (!stopping_) {
            int socket = ::accept(listener_, nullptr, nullptr);
            if (socket < 0)
                return;
            std::lock_guard<std::mutex> guard(lock_);
            sockets_.push_back(socket);
            connections_.emplace_back([this, socket] { serve(socket); });
        }
    }

    void serve(int socket)
    {
        modbus_t *context = modbus_new_tcp("127.0.0.1", port_);
        modbus_set_socket(context, socket);
        modbus_set_response_timeout(context, 0, 300000);
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            int n = modbus_receive(context, query);
            if (n == 0)
                continue;  // not for this server
            if (n < 0)
                break;  // the client went
            int offset = modbus_get_header_length(context);
            int address = (query[offset + 1] << 8) | query[offset + 2];
            if (address == kBusyAddress) {
                modbus_reply_exception(context, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
            } else if (address == kIllegalAddress) {
                modbus_reply_exception(context, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
            } else if (address == kCutAddress) {
                break;
            } else {
                if (address == kStallAddress)
                    std::this_thread::sleep_for(std::chrono::milliseconds(kStallMs));
                modbus_reply(context, query, n, mapping_);
            }
        }
        // The socket stays open until the server ends, so the destructor
        // never shuts down a number already reused; the peer sees the end
        // of a cut connection from the shutdown.
        ::shutdown(socket, SHUT_RDWR);
        modbus_free(context);
    }

    int port_;
    modbus_t *context_;
    modbus_mapping_t *mapping_;
    int listener_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<int> sockets_;
    std::vector<std::thread> connections_;
};

}  // namespace fault
