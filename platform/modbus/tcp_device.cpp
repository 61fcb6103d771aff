// tcp_device.cpp - Modbus TCP framing for the client: the MBAP header
// (transaction id, protocol id 0, length, unit id) before each PDU.
#include "tcp_device.h"

#include "modbus_status.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mb {
namespace {

constexpr size_t kHeader = 7;
constexpr size_t kPduMax = 253;

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits until fd is ready for events or the deadline passed; false on time-out.
bool wait_for(int fd, short events, int64_t deadline_ms)
{
    for (;;) {
        int64_t left = deadline_ms - now_ms();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true;  // the call that follows reports the error
    }
}

uint32_t from_socket_errno(int error)
{
    switch (error) {
    case ECONNRESET: return MB_E_RESET;
    case ECONNREFUSED: return MB_E_REFUSED;
    case EPIPE: return MB_E_BROKEN_PIPE;
    case ETIMEDOUT: return MB_E_TIMEOUT;
    default: return MB_E_TRANSPORT;
    }
}

}  // namespace

uint32_t exception_status(uint8_t code)
{
    return code >= 1 && code <= 3 ? MB_E_EXCEPTION_BASE | code : MB_E_EXCEPTION_BUSY_BASE | code;
}

uint32_t TcpDevice::connect(const std::string &ip, int port, uint8_t unit, int timeout_ms)
{
    close();
    unit_ = unit;
    timeout_ms_ = timeout_ms > 0 ? timeout_ms : 1000;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, ip.c_str(), &at.sin_addr) != 1)
        return MB_E_DEVICE;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return MB_E_TRANSPORT;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 && errno != EINPROGRESS) {
        uint32_t status = from_socket_errno(errno);
        close();
        return status;
    }
    if (!wait_for(fd_, POLLOUT, now_ms() + timeout_ms_)) {
        close();
        return MB_E_TIMEOUT;
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
        close();
        return from_socket_errno(error);
    }
    return MB_OK;
}

void TcpDevice::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

uint32_t TcpDevice::send_all(const uint8_t *data, size_t length, int64_t deadline_ms)
{
    for (size_t done = 0; done < length;) {
        ssize_t n = ::send(fd_, data + done, length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return from_socket_errno(errno);
        if (!wait_for(fd_, POLLOUT, deadline_ms))
            return MB_E_TIMEOUT;
    }
    return MB_OK;
}

uint32_t TcpDevice::receive_all(uint8_t *data, size_t length, int64_t deadline_ms)
{
    for (size_t done = 0; done < length;) {
        ssize_t n = ::recv(fd_, data + done, length - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return MB_E_RESET;  // the device closed the connection
        if (errno != EAGAIN && errno != EINTR)
            return from_socket_errno(errno);
        if (!wait_for(fd_, POLLIN, deadline_ms))
            return MB_E_TIMEOUT;
    }
    return MB_OK;
}

uint32_t TcpDevice::transact(const uint8_t *request, size_t length, uint8_t *reply, size_t &reply_length)
{
    if (fd_ < 0)
        return MB_E_NOT_OPEN;
    if (length == 0 || length > kPduMax)
        return MB_E_LENGTH;
    int64_t deadline = now_ms() + timeout_ms_;
    uint8_t frame[kHeader + kPduMax];
    uint16_t id = ++transaction_;
    frame[0] = static_cast<uint8_t>(id >> 8);
    frame[1] = static_cast<uint8_t>(id);
    frame[2] = frame[3] = 0;
    frame[4] = static_cast<uint8_t>((length + 1) >> 8);
    frame[5] = static_cast<uint8_t>(length + 1);
    frame[6] = unit_;
    std::memcpy(frame + kHeader, request, length);
    if (uint32_t status = send_all(frame, kHeader + length, deadline); status != MB_OK)
        return status;
    uint8_t header[kHeader];
    if (uint32_t status = receive_all(header, kHeader, deadline); status != MB_OK)
        return status;
    size_t follows = static_cast<size_t>(header[4] << 8 | header[5]);
    if (follows < 2 || follows > kPduMax + 1)
        return MB_E_REPLY;  // no frame a device sends: the stream cannot be trusted
    reply_length = follows - 1;
    if (uint32_t status = receive_all(reply, reply_length, deadline); status != MB_OK)
        return status;
    uint16_t answered = static_cast<uint16_t>(header[0] << 8 | header[1]);
    if (answered != id || header[2] != 0 || header[3] != 0 || header[6] != unit_)
        return MB_E_REPLY;
    if (reply[0] == (request[0] | 0x80) && reply_length == 2)
        return exception_status(reply[1]);
    return reply[0] == request[0] ? MB_OK : MB_E_REPLY;
}

}  // namespace mb
