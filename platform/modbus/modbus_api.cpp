// modbus_api.cpp - "hiMODBUSapi.rsl", the Modbus library the Modbus driver
// binds, on libmodbus. host names the device: "local" is a register map in
// this process; an IPv4 address with an optional ":port" (default 502) is a
// Modbus TCP device, unit id 255, this node its client; any other name is a
// [[modbus]] device of the node config: a TCP address of any length, or a
// serial line for Modbus RTU, with its unit id.
//
// Addresses follow the 6-digit convention: 000001.. coils, 100001.. discrete
// inputs, 300001.. input registers, 400001.. holding registers (65536 of
// each). A length in bytes moves length * 8 bits, packed least significant
// bit first (the first bit in bit 0 of the first byte), or (length + 1) / 2
// registers, each in two bytes low byte first, the lowest address first: a
// 4-byte tag over two registers has the first register as its low word. An
// odd length writes the last register's low byte and keeps its high byte.
// Requests are split at the protocol's limits. A connection is used by many
// threads at once and serialised by its own lock (a libmodbus context is not
// thread-safe); connection slots are never freed, so a thread that still
// holds a closed connection gets MB_E_NOT_OPEN, never a freed context.
//
// With is_master 0 the node is the device: the service's connection reads
// and writes this node's register map, and a server thread serves the same
// map on host's address and port to any number of outside TCP masters.
#include "hi_modbus_api.h"
#include "modbus_status.h"
#include "node_config.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <modbus.h>
#include <mutex>
#include <string>
#include <sys/select.h>
#include <thread>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kTableSize = 65536;
constexpr uint32_t kConnections = 16;
constexpr int kTcpUnit = 255;
constexpr int kDefaultPort = 502;
// The protocol's limits per request.
constexpr uint32_t kReadRegisters = 125, kWriteRegisters = 123, kReadBits = 2000, kWriteBits = 1968;

enum class Table { coils, discrete_inputs, input_registers, holding_registers };

bool is_bits(Table t)
{
    return t == Table::coils || t == Table::discrete_inputs;
}

// The items an address and a byte length cover.
struct Span {
    Table table;
    uint32_t first;
    uint32_t count;
};

uint32_t decode(uint32_t address, uint32_t length, Span &span)
{
    if (length == 0)
        return MB_E_LENGTH;
    uint32_t kind = address / 100000, reference = address % 100000;
    const Table tables[] = {Table::coils, Table::discrete_inputs, Table::coils, Table::input_registers,
                            Table::holding_registers};
    if (kind > 4 || kind == 2 || reference == 0 || reference > kTableSize)
        return MB_E_ADDRESS;
    span.table = tables[kind];
    span.first = reference - 1;
    span.count = is_bits(span.table) ? length * 8 : (length + 1) / 2;
    if (uint64_t{span.first} + span.count > kTableSize)
        return MB_E_ADDRESS;
    return MB_OK;
}

// The register map of this node: the "local" device, and what a node with
// is_master 0 serves to outside masters. The In and Out threads and the
// server answer under one lock.
struct LocalMap {
    std::mutex lock;
    modbus_mapping_t *map = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
};
LocalMap local_map;

struct Connection {
    std::mutex lock;
    bool open = false;
    bool local = false;
    bool serving = false;  // the server runs while this connection is open
    modbus_t *context = nullptr;
};
Connection connections[kConnections];

struct Options {
    std::mutex lock;
    bool set = false;
    char host[MODBUS_HOST_SIZE] = {};
    uint8_t is_master = 0;
    uint32_t timeout = 0;
};
Options options;

uint32_t from_errno(int error)
{
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + 12) {
        uint32_t exception = static_cast<uint32_t>(error - MODBUS_ENOBASE);
        return exception <= 3 ? MB_E_EXCEPTION_BASE | exception : MB_E_EXCEPTION_BUSY_BASE | exception;
    }
    switch (error) {
    case ETIMEDOUT: return MB_E_TIMEOUT;
    case ECONNRESET: return MB_E_RESET;
    case ECONNREFUSED: return MB_E_REFUSED;
    case EPIPE: return MB_E_BROKEN_PIPE;
    case EMBBADCRC: return MB_E_CRC;
    default: return MB_E_TRANSPORT;
    }
}

// One request of at most the protocol's limit, on a locked connection.
uint32_t read_items(Connection &c, Table t, uint32_t first, uint32_t n, uint8_t *bits, uint16_t *registers)
{
    if (c.local) {
        std::lock_guard lock(local_map.lock);
        modbus_mapping_t *m = local_map.map;
        switch (t) {
        case Table::coils: std::memcpy(bits, m->tab_bits + first, n); break;
        case Table::discrete_inputs: std::memcpy(bits, m->tab_input_bits + first, n); break;
        case Table::input_registers: std::memcpy(registers, m->tab_input_registers + first, 2 * n); break;
        case Table::holding_registers: std::memcpy(registers, m->tab_registers + first, 2 * n); break;
        }
        return MB_OK;
    }
    int a = static_cast<int>(first), count = static_cast<int>(n), done = -1;
    switch (t) {
    case Table::coils: done = modbus_read_bits(c.context, a, count, bits); break;
    case Table::discrete_inputs: done = modbus_read_input_bits(c.context, a, count, bits); break;
    case Table::input_registers: done = modbus_read_input_registers(c.context, a, count, registers); break;
    case Table::holding_registers: done = modbus_read_registers(c.context, a, count, registers); break;
    }
    return done == count ? MB_OK : from_errno(errno);
}

uint32_t write_items(Connection &c, Table t, uint32_t first, uint32_t n, const uint8_t *bits,
                     const uint16_t *registers)
{
    if (c.local) {
        std::lock_guard lock(local_map.lock);
        if (t == Table::coils)
            std::memcpy(local_map.map->tab_bits + first, bits, n);
        else
            std::memcpy(local_map.map->tab_registers + first, registers, 2 * n);
        return MB_OK;
    }
    int a = static_cast<int>(first), count = static_cast<int>(n);
    int done = t == Table::coils ? modbus_write_bits(c.context, a, count, bits)
                                 : modbus_write_registers(c.context, a, count, registers);
    return done == count ? MB_OK : from_errno(errno);
}

uint32_t read_span(Connection &c, const Span &s, uint8_t *out, uint32_t length)
{
    uint8_t bits[kReadBits];
    uint16_t registers[kReadRegisters];
    uint32_t limit = is_bits(s.table) ? kReadBits : kReadRegisters;
    for (uint32_t done = 0; done < s.count;) {
        uint32_t n = s.count - done < limit ? s.count - done : limit;
        if (uint32_t status = read_items(c, s.table, s.first + done, n, bits, registers); status != MB_OK)
            return status;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t item = done + i;
            if (is_bits(s.table)) {
                uint8_t &byte = out[item / 8];
                byte = static_cast<uint8_t>(bits[i] ? byte | (1u << (item % 8)) : byte & ~(1u << (item % 8)));
            } else {
                out[2 * item] = static_cast<uint8_t>(registers[i]);
                if (2 * item + 1 < length)
                    out[2 * item + 1] = static_cast<uint8_t>(registers[i] >> 8);
            }
        }
        done += n;
    }
    return MB_OK;
}

uint32_t write_span(Connection &c, const Span &s, const uint8_t *in, uint32_t length)
{
    uint8_t bits[kWriteBits];
    uint16_t registers[kWriteRegisters];
    uint16_t kept_high = 0;  // an odd length keeps the last register's high byte
    if (!is_bits(s.table) && length % 2 == 1) {
        uint16_t last;
        if (uint32_t status = read_items(c, s.table, s.first + s.count - 1, 1, nullptr, &last); status != MB_OK)
            return status;
        kept_high = static_cast<uint16_t>(last & 0xFF00u);
    }
    uint32_t limit = is_bits(s.table) ? kWriteBits : kWriteRegisters;
    for (uint32_t done = 0; done < s.count;) {
        uint32_t n = s.count - done < limit ? s.count - done : limit;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t item = done + i;
            if (is_bits(s.table))
                bits[i] = (in[item / 8] >> (item % 8)) & 1u;
            else
                registers[i] = static_cast<uint16_t>(
                    in[2 * item] | (2 * item + 1 < length ? in[2 * item + 1] << 8 : kept_high));
        }
        if (uint32_t status = write_items(c, s.table, s.first + done, n, bits, registers); status != MB_OK)
            return status;
        done += n;
    }
    return MB_OK;
}

// The connection of a handle, locked and open; nullptr otherwise.
Connection *locked(uintptr_t handle, std::unique_lock<std::mutex> &lock)
{
    if (handle == 0 || handle > kConnections)
        return nullptr;
    Connection &c = connections[handle - 1];
    lock = std::unique_lock(c.lock);
    return c.open ? &c : nullptr;
}

// A TCP address "a.b.c.d" or "a.b.c.d:port"; false when host is neither.
bool tcp_address(const char *host, std::string &ip, int &port)
{
    std::string text(host);
    size_t colon = text.find(':');
    ip = text.substr(0, colon);
    port = kDefaultPort;
    in_addr parsed{};
    if (inet_pton(AF_INET, ip.c_str(), &parsed) != 1)
        return false;
    if (colon == std::string::npos)
        return true;
    char *end = nullptr;
    long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    port = static_cast<int>(p);
    return end != nullptr && *end == '\0' && p > 0 && p < 65536;
}

// Serves the register map on a TCP address to any number of outside
// masters, one request at a time, until stopped.
class Server {
public:
    uint32_t start_rtu(const ko::ModbusDecl &line)
    {
        stop();
        context_ = modbus_new_rtu(line.device.c_str(), static_cast<int>(line.baud), line.parity, line.data_bits,
                                  line.stop_bits);
        if (context_ == nullptr)
            return MB_E_DEVICE;
        modbus_set_slave(context_, line.unit);
        if (modbus_connect(context_) != 0) {
            modbus_free(context_);
            context_ = nullptr;
            return MB_E_DEVICE;
        }
        modbus_set_indication_timeout(context_, 0, 100000);  // looks at stopping_ ten times a second
        stopping_.store(false);
        thread_ = std::thread([this] { serve_line(); });
        return MB_OK;
    }

    uint32_t start(const std::string &ip, int port)
    {
        stop();
        context_ = modbus_new_tcp(ip.c_str(), port);
        if (context_ == nullptr)
            return MB_E_TRANSPORT;
        listener_ = modbus_tcp_listen(context_, 16);
        if (listener_ < 0) {
            uint32_t status = from_errno(errno);
            modbus_free(context_);
            context_ = nullptr;
            return status;
        }
        stopping_.store(false);
        thread_ = std::thread([this] { serve(); });
        return MB_OK;
    }
    void stop()
    {
        if (!thread_.joinable())
            return;
        stopping_.store(true);
        thread_.join();
        if (listener_ >= 0)
            ::close(listener_);
        listener_ = -1;
        modbus_close(context_);
        modbus_free(context_);
        context_ = nullptr;
    }
    ~Server() { stop(); }

private:
    // A serial line: answers the requests for its unit id.
    void serve_line()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stopping_.load()) {
            int n = modbus_receive(context_, query);
            if (n > 0) {
                std::lock_guard lock(local_map.lock);
                modbus_reply(context_, query, n, local_map.map);
            }
        }
    }

    void serve()
    {
        fd_set clients;
        FD_ZERO(&clients);
        FD_SET(listener_, &clients);
        int highest = listener_;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stopping_.load()) {
            fd_set ready = clients;
            timeval tick{0, 100000};  // looks at stopping_ ten times a second
            if (select(highest + 1, &ready, nullptr, nullptr, &tick) <= 0)
                continue;
            for (int fd = 0; fd <= highest; ++fd) {
                if (!FD_ISSET(fd, &ready))
                    continue;
                if (fd == listener_) {
                    sockaddr_in peer{};
                    socklen_t size = sizeof peer;
                    int client = accept(listener_, reinterpret_cast<sockaddr *>(&peer), &size);
                    if (client >= 0 && client < FD_SETSIZE) {
                        FD_SET(client, &clients);
                        highest = client > highest ? client : highest;
                    } else if (client >= 0) {
                        ::close(client);
                    }
                    continue;
                }
                modbus_set_socket(context_, fd);
                int n = modbus_receive(context_, query);
                if (n > 0) {
                    std::lock_guard lock(local_map.lock);
                    modbus_reply(context_, query, n, local_map.map);
                } else if (n < 0) {
                    ::close(fd);
                    FD_CLR(fd, &clients);
                }
            }
        }
        for (int fd = 0; fd <= highest; ++fd)
            if (fd != listener_ && FD_ISSET(fd, &clients))
                ::close(fd);
    }

    modbus_t *context_ = nullptr;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
Server server;

// A device of the node config by name.
bool config_device(const char *name, ko::ModbusDecl &device)
{
    ko::NodeConfig config;
    std::string error, path = ko::node_config_path();
    if (ko::node_config_absent(path) || !ko::load_node_config(path, config, error))
        return false;
    const ko::ModbusDecl *found = config.modbus_device(name);
    if (found != nullptr)
        device = *found;
    return found != nullptr;
}

uint32_t connect(Connection &c, const char *host, uint8_t is_master, uint32_t timeout_ms)
{
    if (std::strcmp(host, "local") == 0) {
        c.local = true;
        return MB_OK;
    }
    std::string ip;
    int port;
    ko::ModbusDecl named;
    bool tcp = tcp_address(host, ip, port);
    if (!tcp) {
        if (!config_device(host, named))
            return MB_E_DEVICE;
        tcp = !named.address.empty();
        ip = named.address;
        port = named.port;
    }
    if (is_master == 0) {  // this node's map, served on host
        c.local = true;
        c.serving = true;
        return tcp ? server.start(ip, port) : server.start_rtu(named);
    }
    c.context = tcp ? modbus_new_tcp(ip.c_str(), port)
                    : modbus_new_rtu(named.device.c_str(), static_cast<int>(named.baud), named.parity,
                                     named.data_bits, named.stop_bits);
    if (c.context == nullptr)
        return tcp ? MB_E_TRANSPORT : MB_E_DEVICE;
    modbus_set_slave(c.context, named.name.empty() ? kTcpUnit : named.unit);
    if (timeout_ms != 0)
        modbus_set_response_timeout(c.context, timeout_ms / 1000, (timeout_ms % 1000) * 1000);
    if (modbus_connect(c.context) != 0) {
        uint32_t status = from_errno(errno);
        modbus_free(c.context);
        c.context = nullptr;
        return status;
    }
    return MB_OK;
}

}  // namespace

EXPORT const char *HiMODBUSStatusText(uint32_t status)
{
    if ((status & ~0xFFu) == MB_E_EXCEPTION_BASE && (status & 0xFF) >= 1 && (status & 0xFF) <= 3)
        return "Modbus exception 1-3 (illegal function, data address or data value): the request can never succeed";
    if ((status & ~0xFFu) == MB_E_EXCEPTION_BUSY_BASE && (status & 0xFF) >= 4 && (status & 0xFF) <= 11)
        return "Modbus exception 4-11 (device failure, busy, gateway): the device may answer later";
    switch (status) {
    case MB_OK: return "success";
    case MB_E_TIMEOUT: return "no answer within the response timeout";
    case MB_E_RESET: return "connection reset by the device";
    case MB_E_REFUSED: return "connection refused";
    case MB_E_BROKEN_PIPE: return "the connection was cut while sending";
    case MB_E_CRC: return "CRC error on the serial line";
    case MB_E_TRANSPORT: return "transport failure";
    case MB_E_ADDRESS: return "not an address of the 6-digit convention, or past the end of its table";
    case MB_E_LENGTH: return "length 0";
    case MB_E_NOT_OPEN: return "the connection is not open";
    case MB_E_DEVICE:
        return "host names no device: \"local\", an IPv4 address with an optional :port, or a [[modbus]] device of "
               "the node config (whose serial line must open)";
    case MB_E_IS_MASTER: return "is_master must be 0 or 1";
    case MB_E_READ_ONLY: return "discrete inputs and input registers cannot be written";
    case MB_E_HOST:
        return "no device address: empty, or too long for the host field - name the device in the node config";
    case MB_E_NOT_INIT: return "open before init";
    case MB_E_FULL: return "every connection slot is in use";
    default: return "unknown status";
    }
}

EXPORT uint32_t HiMODBUSInit(const ModbusOptions *given)
{
    if (given == nullptr)
        return MB_E_NOT_INIT;
    std::lock_guard lock(options.lock);
    std::memcpy(options.host, given->host, sizeof options.host);
    options.host[sizeof options.host - 1] = '\0';
    options.is_master = given->is_master;
    options.timeout = given->timeout;
    options.set = true;
    return MB_OK;
}

EXPORT uint32_t HiMODBUSOpen(uintptr_t, uintptr_t *connection)
{
    char host[MODBUS_HOST_SIZE];
    uint8_t is_master;
    uint32_t timeout;
    {
        std::lock_guard lock(options.lock);
        if (!options.set)
            return MB_E_NOT_INIT;
        std::memcpy(host, options.host, sizeof host);
        is_master = options.is_master;
        timeout = options.timeout;
    }
    if (is_master > 1)
        return MB_E_IS_MASTER;
    if (host[0] == '\0')
        return MB_E_HOST;
    for (uint32_t i = 0; i < kConnections; ++i) {
        Connection &c = connections[i];
        std::lock_guard lock(c.lock);
        if (c.open)
            continue;
        c.local = false;
        c.serving = false;
        if (uint32_t status = connect(c, host, is_master, timeout); status != MB_OK)
            return status;
        c.open = true;
        *connection = i + 1;
        return MB_OK;
    }
    return MB_E_FULL;
}

EXPORT uint32_t HiMODBUSClose(uintptr_t connection)
{
    std::unique_lock<std::mutex> lock;
    Connection *c = locked(connection, lock);
    if (c == nullptr)
        return MB_E_NOT_OPEN;
    if (c->context != nullptr) {
        modbus_close(c->context);
        modbus_free(c->context);
        c->context = nullptr;
    }
    if (c->serving)
        server.stop();
    c->open = false;
    return MB_OK;
}

EXPORT uint32_t HiMODBUSRead(uintptr_t connection, uint32_t address, uint32_t length, void *buffer, uint32_t,
                             uint32_t)
{
    Span span;
    if (uint32_t status = decode(address, length, span); status != MB_OK)
        return status;
    std::unique_lock<std::mutex> lock;
    Connection *c = locked(connection, lock);
    if (c == nullptr)
        return MB_E_NOT_OPEN;
    return read_span(*c, span, static_cast<uint8_t *>(buffer), length);
}

EXPORT uint32_t HiMODBUSWrite(uintptr_t connection, uint32_t address, uint32_t length, const void *buffer, uint32_t)
{
    Span span;
    if (uint32_t status = decode(address, length, span); status != MB_OK)
        return status;
    if (span.table == Table::discrete_inputs || span.table == Table::input_registers)
        return MB_E_READ_ONLY;
    std::unique_lock<std::mutex> lock;
    Connection *c = locked(connection, lock);
    if (c == nullptr)
        return MB_E_NOT_OPEN;
    return write_span(*c, span, static_cast<const uint8_t *>(buffer), length);
}
