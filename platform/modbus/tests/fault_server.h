// fault_server.h - a libmodbus TCP server for the tests, in libmodbus's own
// test style, whose holding registers answer well except at the addresses
// below (zero-based, as on the wire), which fail in one way each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <modbus.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

namespace fault {

constexpr int kRegisters = 300;
constexpr int kBusyAddress = 150;       // answers exception 6 (server busy)
constexpr int kIllegalAddress = 160;    // answers exception 2 (illegal data address)
constexpr int kStallAddress = 170;      // answers only after kStallMs
constexpr int kCutAddress = 180;        // closes the connection
constexpr int kStallMs = 800;
constexpr int kClientTimeoutMs = 200;   // the tests' response timeout, below kStallMs

class Server {
public:
    explicit Server(int port) : port_(port)
    {
        mapping_ = modbus_mapping_new(0, 0, kRegisters, 0);
        for (int i = 0; i < kRegisters; ++i)
            mapping_->tab_registers[i] = static_cast<uint16_t>(500 + i);
        context_ = modbus_new_tcp("127.0.0.1", port);
        listener_ = modbus_tcp_listen(context_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~Server()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
        modbus_free(context_);
        modbus_mapping_free(mapping_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void serve()
    {
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stopping_) {
            if (modbus_tcp_accept(context_, &listener_) < 0)
                return;
            modbus_set_response_timeout(context_, 0, 300000);
            for (;;) {
                int n = modbus_receive(context_, query);
                if (n == 0)
                    continue;  // not for this server
                if (n < 0)
                    break;  // the client went: wait for the next one
                int offset = modbus_get_header_length(context_);
                int address = (query[offset + 1] << 8) | query[offset + 2];
                if (address == kBusyAddress) {
                    modbus_reply_exception(context_, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
                } else if (address == kIllegalAddress) {
                    modbus_reply_exception(context_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
                } else if (address == kCutAddress) {
                    break;
                } else {
                    if (address == kStallAddress)
                        std::this_thread::sleep_for(std::chrono::milliseconds(kStallMs));
                    modbus_reply(context_, query, n, mapping_);
                }
            }
            ::close(modbus_get_socket(context_));
        }
    }

    int port_;
    modbus_t *context_;
    modbus_mapping_t *mapping_;
    int listener_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace fault
