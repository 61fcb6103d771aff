// tcp_device.h - a Modbus TCP device, this node its client: one socket, one
// request at a time. Every reply is checked against its request (transaction
// id, protocol id, unit id, function code): one that does not match is
// refused with MB_E_REPLY and never taken for data. Every wait, the
// connection's included, ends within the response timeout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mb {

class TcpDevice {
public:
    uint32_t connect(const std::string &ip, int port, uint8_t unit, int timeout_ms);
    void close();
    // Sends a request PDU and takes its reply PDU (at most 253 bytes); an
    // exception reply gives its status code.
    uint32_t transact(const uint8_t *request, size_t length, uint8_t *reply, size_t &reply_length);
    ~TcpDevice() { close(); }

private:
    uint32_t send_all(const uint8_t *data, size_t length, int64_t deadline_ms);
    uint32_t receive_all(uint8_t *data, size_t length, int64_t deadline_ms);

    int fd_ = -1;
    uint16_t transaction_ = 0;
    uint8_t unit_ = 255;
    int timeout_ms_ = 1000;
};

// The status of a Modbus exception code (1-3 misuse, others transient).
uint32_t exception_status(uint8_t code);

}  // namespace mb
