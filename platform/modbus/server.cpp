// server.cpp - the TCP and RTU servers of the node's register map.
#include "server.h"

#include "kohgapi.h"
#include "modbus_status.h"
#include "node_config.h"
#include "register_map.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace mb {
namespace {

constexpr size_t kHeader = 7;
constexpr size_t kFrameMax = kHeader + 253;
constexpr size_t kOutMax = 8 * kFrameMax;  // replies waiting for a master: past this it is not read from
constexpr size_t kInMax = 4 * kFrameMax;   // requests read ahead of their answers
constexpr int kFramesPerTurn = 4;          // answered per master per round: a flood waits its turn
// The kernel's part of a master's replies: bounded, so that a master that
// does not read them is found out (and holds little memory) within 1 s.
constexpr int kSendBuffer = 16384;
constexpr int64_t kDrainMs = 1000, kPartialMs = 1000, kIdleMs = 60000;
constexpr int kTickMs = 100;  // stopping_ and the timers are looked at this often

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ip_text(uint32_t ip)
{
    in_addr a{htonl(ip)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

void log_line(const char *level, const std::string &text)
{
    KoLogWrite(KoServiceName, level, text.c_str());
}

struct Client {
    int fd = -1;
    uint32_t ip = 0;
    std::vector<uint8_t> in, out;
    size_t sent = 0;               // bytes of out already sent
    int64_t last_request = 0;      // ms: the last whole request
    int64_t partial_since = 0;     // ms: a frame began and is not whole; 0: none
    int64_t pending_since = 0;     // ms: replies wait to be sent; 0: none
};

// Answers every whole frame in the client's input; false on a frame no
// master sends (the connection is then closed).
bool answer_frames(Client &c, int64_t now)
{
    size_t at = 0;
    for (int turn = 0; turn < kFramesPerTurn && c.in.size() - at >= kHeader && c.out.size() < kOutMax; ++turn) {
        const uint8_t *frame = c.in.data() + at;
        size_t follows = static_cast<size_t>(frame[4] << 8 | frame[5]);
        if (follows < 2 || follows > 254 || frame[2] != 0 || frame[3] != 0)
            return false;
        if (c.in.size() - at < 6 + follows)
            break;
        uint8_t reply[kFrameMax];
        size_t length = local_map().answer(frame + kHeader, follows - 1, reply + kHeader);
        std::memcpy(reply, frame, 4);  // transaction and protocol id
        reply[4] = static_cast<uint8_t>((length + 1) >> 8);
        reply[5] = static_cast<uint8_t>(length + 1);
        reply[6] = frame[6];  // unit id
        if (c.out.empty())
            c.pending_since = now;
        c.out.insert(c.out.end(), reply, reply + kHeader + length);
        at += 6 + follows;
        c.last_request = now;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
    // The clock of an unfinished request starts at the last whole one.
    if (c.in.empty())
        c.partial_since = 0;
    else if (at > 0 || c.partial_since == 0)
        c.partial_since = now;
    return true;
}

bool whole_frame(const Client &c)
{
    return c.in.size() >= kHeader && c.in.size() >= 6 + static_cast<size_t>(c.in[4] << 8 | c.in[5]);
}

// Sends what waits; false when the connection failed.
bool send_replies(Client &c, int64_t now)
{
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        return false;
    }
    c.out.clear();
    c.sent = 0;
    c.pending_since = 0;
    (void)now;
    return true;
}

}  // namespace

uint32_t Server::start_tcp(const std::string &ip, int port, const ServerRules &rules)
{
    stop();
    int listener = ko::bind_tcp_address(ip, port, SOCK_NONBLOCK);
    if (listener < 0 || listen(listener, 16) != 0) {
        uint32_t status = errno == EADDRINUSE ? MB_E_REFUSED : MB_E_TRANSPORT;
        if (listener >= 0)
            ::close(listener);
        return status;
    }
    local_map().serve_points_of_service();
    stopping_.store(false);
    thread_ = std::thread([this, listener, rules] { serve_tcp(listener, rules); });
    return MB_OK;
}

void Server::serve_tcp(int listener, ServerRules rules)
{
    std::vector<Client> clients;
    std::set<std::pair<uint32_t, int>> logged;  // (address, reason) said once
    auto once = [&](uint32_t ip, int reason, const std::string &text) {
        if (logged.insert({ip, reason}).second)
            log_line("WRN", text);
    };
    std::vector<pollfd> fds;
    while (!stopping_.load()) {
        fds.clear();
        fds.push_back({listener, POLLIN, 0});
        bool more = false;  // whole requests already read wait for their turn
        for (const Client &c : clients) {
            bool reading = c.in.size() < kInMax && c.out.size() < kOutMax;
            fds.push_back({c.fd, static_cast<short>((reading ? POLLIN : 0) | (c.out.empty() ? 0 : POLLOUT)), 0});
            more = more || (c.out.size() < kOutMax && whole_frame(c));
        }
        if (poll(fds.data(), fds.size(), more ? 0 : kTickMs) < 0 && errno != EINTR)
            break;
        int64_t now = now_ms();
        std::vector<bool> drop(clients.size(), false);
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            short ready = fds[i + 1].revents;
            if (ready & (POLLERR | POLLHUP | POLLNVAL))
                drop[i] = !(ready & POLLIN);
            if (ready & POLLIN) {
                uint8_t buffer[kInMax];
                ssize_t n = ::recv(c.fd, buffer, kInMax - std::min(kInMax, c.in.size()), MSG_DONTWAIT);
                if (n > 0)
                    c.in.insert(c.in.end(), buffer, buffer + n);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    drop[i] = true;
            }
            if (!drop[i] && !answer_frames(c, now)) {
                once(c.ip, 1, "Modbus master " + ip_text(c.ip) + " sent a frame no master sends: disconnected");
                drop[i] = true;
            }
            if (!drop[i] && !c.out.empty() && !send_replies(c, now))
                drop[i] = true;
            if (drop[i])
                continue;
            if (c.pending_since != 0 && now - c.pending_since > kDrainMs) {
                once(c.ip, 2, "Modbus master " + ip_text(c.ip) + " does not read its replies: disconnected");
                drop[i] = true;
            } else if (c.out.empty() && c.partial_since != 0 && now - c.partial_since > kPartialMs) {
                once(c.ip, 3, "Modbus master " + ip_text(c.ip) + " left a request unfinished for 1 s: disconnected");
                drop[i] = true;
            } else if (now - c.last_request > kIdleMs) {
                drop[i] = true;
            }
        }
        for (size_t i = clients.size(); i-- > 0;)
            if (drop[i]) {
                ::close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                sockaddr_in peer{};
                socklen_t size = sizeof peer;
                int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0)
                    break;
                uint32_t ip = ntohl(peer.sin_addr.s_addr);
                bool allowed = rules.allow.empty();
                for (const auto &[network, mask] : rules.allow)
                    allowed = allowed || (ip & mask) == network;
                if (!allowed) {
                    once(ip, 4, "Modbus master " + ip_text(ip) + " refused: not in the server's allow list");
                    ::close(fd);
                } else if (clients.size() >= rules.max_connections) {
                    once(ip, 5, "Modbus master " + ip_text(ip) + " refused: the server has its " +
                                    std::to_string(rules.max_connections) + " connections (max_connections)");
                    ::close(fd);
                } else {
                    int one = 1, buffer = kSendBuffer;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
                    Client c;
                    c.fd = fd;
                    c.ip = ip;
                    c.last_request = now;
                    clients.push_back(std::move(c));
                }
            }
        }
    }
    for (Client &c : clients)
        ::close(c.fd);
    ::close(listener);
}

uint32_t Server::start_rtu(const ko::ModbusDecl &line)
{
    stop();
    modbus_t *context = modbus_new_rtu(line.device.c_str(), static_cast<int>(line.baud), line.parity, line.data_bits,
                                       line.stop_bits);
    if (context == nullptr)
        return MB_E_DEVICE;
    modbus_set_slave(context, line.unit);
    if (modbus_connect(context) != 0) {
        modbus_free(context);
        return MB_E_DEVICE;
    }
    modbus_set_indication_timeout(context, 0, kTickMs * 1000);
    local_map().serve_points_of_service();
    stopping_.store(false);
    thread_ = std::thread([this, context] { serve_rtu(context); });
    return MB_OK;
}

void Server::serve_rtu(void *opaque)
{
    auto *context = static_cast<modbus_t *>(opaque);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopping_.load()) {
        int n = modbus_receive(context, query);
        if (n < 4 || query[0] == 0)
            continue;  // nothing, not for this unit, or a broadcast (never answered)
        uint8_t reply[1 + 253];
        reply[0] = query[0];
        size_t length = local_map().answer(query + 1, static_cast<size_t>(n - 3), reply + 1);
        modbus_send_raw_request(context, reply, static_cast<int>(1 + length));
    }
    modbus_close(context);
    modbus_free(context);
}

void Server::stop()
{
    if (!thread_.joinable())
        return;
    stopping_.store(true);
    thread_.join();
}

}  // namespace mb
