// modbus_api.cpp - "hiMODBUSapi.rsl", the Modbus library the Modbus driver
// binds: its five calls and the connections (the status texts are in
// status_text.cpp). host names the device: "local" is the node's register
// map in this process; an IPv4 address with
// an optional ":port" (default 502) is a Modbus TCP device, unit id 255,
// this node its client; any other name is a [[modbus]] device of the node
// config: a TCP address of any length, or a serial line for Modbus RTU,
// with its unit id. The device is found once, at init, on the service's
// set-up thread: opening and reopening (from any thread) read no file.
//
// A length in bytes moves length * 8 bits, packed least significant bit
// first (the first bit in bit 0 of the first byte), or (length + 1) / 2
// registers, each in two bytes low byte first, the lowest address first: a
// 4-byte tag over two registers has the first register as its low word. An
// odd length writes the last register's low byte and keeps its high byte.
// Requests are split at the protocol's limits. A connection is used by many
// threads at once and serialised by its own lock; connection slots are never
// freed, so a thread that still holds a closed connection gets
// MB_E_NOT_OPEN, never a freed context.
//
// Every request waits at most the device's response timeout: the
// [[modbus]] device's timeout_ms (default 1000 ms, also for the address
// forms), lowered by a smaller timeout given at init (the service's Timeout).
//
// With is_master 0 the node is the device: the service's connection reads
// and writes this node's register map (all four tables), and a server
// thread serves it to outside masters (server.h).
#include "address.h"
#include "device_health.h"
#include "hi_modbus_api.h"
#include "modbus_status.h"
#include "node_config.h"
#include "register_map.h"
#include "server.h"
#include "tcp_device.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <modbus.h>
#include <mutex>
#include <string>

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace mb;

namespace {

constexpr uint32_t kConnections = 16;
constexpr uint8_t kTcpUnit = 255;
constexpr int kDefaultPort = 502;
constexpr uint32_t kDefaultTimeoutMs = 1000;

// What host names, found at init.
struct Target {
    enum Kind { none, local, tcp, rtu } kind = none;
    uint32_t problem = MB_OK;  // why there is no target
    std::string name;          // for messages: host as given
    std::string ip;
    int port = kDefaultPort;
    uint8_t unit = kTcpUnit;
    ko::ModbusDecl device;     // rtu: the serial line; server: its rules
    uint32_t timeout_ms = kDefaultTimeoutMs;
};

struct Options {
    std::mutex lock;
    bool set = false;
    uint8_t is_master = 0;
    Target target;
};
Options options;

struct Connection {
    std::mutex lock;
    bool open = false;
    bool local = false;
    bool serving = false;  // the server runs while this connection is open
    TcpDevice tcp;
    bool is_tcp = false;
    modbus_t *rtu = nullptr;
};
Connection connections[kConnections];
Server server;
DeviceHealth health;
// Why the last open of a client connection failed: the reason a request on
// a connection that could not be reopened gives for its device.
std::atomic<uint32_t> open_failure{MB_OK};

// A TCP address "a.b.c.d" or "a.b.c.d:port"; false when host is neither.
bool tcp_address(const char *host, std::string &ip, int &port)
{
    return ko::parse_tcp_address(host, ip, port) && port != 0;
}

Target resolve(const char *host, uint32_t timeout_ms)
{
    Target t;
    t.name = host;
    if (host[0] == '\0') {
        t.problem = MB_E_HOST;
    } else if (std::strcmp(host, "local") == 0) {
        t.kind = Target::local;
    } else if (tcp_address(host, t.ip, t.port)) {
        t.kind = Target::tcp;
    } else {
        ko::NodeConfig config;
        std::string error, path = ko::node_config_path();
        const ko::ModbusDecl *found = nullptr;
        if (!ko::node_config_absent(path) && ko::load_node_config(path, config, error))
            found = config.modbus_device(host);
        if (found == nullptr) {
            t.problem = MB_E_DEVICE;
            return t;
        }
        t.device = *found;
        t.kind = found->address.empty() ? Target::rtu : Target::tcp;
        t.ip = found->address;
        t.port = found->port;
        t.unit = found->unit;
        t.timeout_ms = found->timeout_ms;
    }
    if (timeout_ms != 0 && timeout_ms < t.timeout_ms)
        t.timeout_ms = timeout_ms;  // the service's Timeout only lowers it
    return t;
}

uint32_t from_errno(int error)
{
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + 12)
        return exception_status(static_cast<uint8_t>(error - MODBUS_ENOBASE));
    switch (error) {
    case ETIMEDOUT: return MB_E_TIMEOUT;
    case ECONNRESET: return MB_E_RESET;
    case EMBBADCRC: return MB_E_CRC;
    case EMBBADDATA:
    case EMBBADEXC:
    case EMBBADSLAVE: return MB_E_REPLY;
    default: return MB_E_TRANSPORT;
    }
}

// One request over TCP: a read of n items, its reply checked item count by item count.
uint32_t tcp_read(TcpDevice &d, Table t, uint32_t first, uint32_t n, uint8_t *bits, uint16_t *registers)
{
    const uint8_t functions[] = {1, 2, 4, 3};
    uint8_t request[5] = {functions[static_cast<int>(t)], static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                          static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    uint8_t reply[253];
    size_t length = 0;
    if (uint32_t status = d.transact(request, sizeof request, reply, length); status != MB_OK)
        return status;
    size_t bytes = is_bits(t) ? (n + 7) / 8 : 2 * n;
    if (length != 2 + bytes || reply[1] != bytes)
        return MB_E_REPLY;
    for (uint32_t i = 0; i < n; ++i) {
        if (is_bits(t))
            bits[i] = (reply[2 + i / 8] >> (i % 8)) & 1u;
        else
            registers[i] = word_at(reply + 2 + 2 * i);
    }
    return MB_OK;
}

uint32_t tcp_write(TcpDevice &d, Table t, uint32_t first, uint32_t n, const uint8_t *bits, const uint16_t *registers)
{
    uint8_t request[253] = {static_cast<uint8_t>(t == Table::coils ? 15 : 16), static_cast<uint8_t>(first >> 8),
                            static_cast<uint8_t>(first), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    size_t bytes = t == Table::coils ? (n + 7) / 8 : 2 * n;
    request[5] = static_cast<uint8_t>(bytes);
    std::memset(request + 6, 0, bytes);
    for (uint32_t i = 0; i < n; ++i) {
        if (t == Table::coils) {
            request[6 + i / 8] |= static_cast<uint8_t>((bits[i] & 1u) << (i % 8));
        } else {
            put_word(request + 6 + 2 * i, registers[i]);
        }
    }
    uint8_t reply[253];
    size_t length = 0;
    if (uint32_t status = d.transact(request, 6 + bytes, reply, length); status != MB_OK)
        return status;
    return length == 5 && std::memcmp(reply, request, 5) == 0 ? MB_OK : MB_E_REPLY;
}

// One request of at most the protocol's limit, on a locked connection.
uint32_t read_items(Connection &c, Table t, uint32_t first, uint32_t n, uint8_t *bits, uint16_t *registers)
{
    if (c.local) {
        local_map().read(t, first, n, bits, registers);
        return MB_OK;
    }
    if (c.is_tcp)
        return tcp_read(c.tcp, t, first, n, bits, registers);
    int a = static_cast<int>(first), count = static_cast<int>(n), done = -1;
    switch (t) {
    case Table::coils: done = modbus_read_bits(c.rtu, a, count, bits); break;
    case Table::discrete_inputs: done = modbus_read_input_bits(c.rtu, a, count, bits); break;
    case Table::input_registers: done = modbus_read_input_registers(c.rtu, a, count, registers); break;
    case Table::holding_registers: done = modbus_read_registers(c.rtu, a, count, registers); break;
    }
    return done == count ? MB_OK : from_errno(errno);
}

uint32_t write_items(Connection &c, Table t, uint32_t first, uint32_t n, const uint8_t *bits,
                     const uint16_t *registers)
{
    if (c.local) {
        local_map().write(t, first, n, bits, registers);
        return MB_OK;
    }
    if (c.is_tcp)
        return tcp_write(c.tcp, t, first, n, bits, registers);
    int a = static_cast<int>(first), count = static_cast<int>(n);
    int done = t == Table::coils ? modbus_write_bits(c.rtu, a, count, bits)
                                 : modbus_write_registers(c.rtu, a, count, registers);
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

ServerRules rules_of(const ko::ModbusDecl &device)
{
    ServerRules rules;
    rules.max_connections = device.max_connections;
    for (const std::string &text : device.allow) {
        uint32_t network = 0, mask = 0;
        if (ko::parse_ipv4_network(text, network, mask))
            rules.allow.push_back({network, mask});
    }
    return rules;
}

uint32_t connect(Connection &c, const Target &t, uint8_t is_master)
{
    if (t.kind == Target::local) {
        c.local = true;
        return MB_OK;
    }
    if (is_master == 0) {  // this node's map, served on the device's address
        c.local = true;
        c.serving = true;
        return t.kind == Target::tcp ? server.start_tcp(t.ip, t.port, rules_of(t.device)) : server.start_rtu(t.device);
    }
    if (t.kind == Target::tcp) {
        c.is_tcp = true;
        return c.tcp.connect(t.ip, t.port, t.unit, static_cast<int>(t.timeout_ms));
    }
    const ko::ModbusDecl &line = t.device;
    c.rtu = modbus_new_rtu(line.device.c_str(), static_cast<int>(line.baud), line.parity, line.data_bits,
                           line.stop_bits);
    if (c.rtu == nullptr)
        return MB_E_DEVICE;
    modbus_set_slave(c.rtu, t.unit);
    modbus_set_response_timeout(c.rtu, t.timeout_ms / 1000, (t.timeout_ms % 1000) * 1000);
    if (modbus_connect(c.rtu) != 0) {
        modbus_free(c.rtu);
        c.rtu = nullptr;
        return MB_E_DEVICE;
    }
    return MB_OK;
}

void disconnect(Connection &c)
{
    c.tcp.close();
    if (c.rtu != nullptr) {
        modbus_close(c.rtu);
        modbus_free(c.rtu);
        c.rtu = nullptr;
    }
    if (c.serving)
        server.stop();
}

// A request on a closed connection: while its reopening fails, the device
// counts as failing for the reason the open gave.
uint32_t not_open(uint32_t address)
{
    if (uint32_t why = open_failure.load(); why != MB_OK)
        health.note(why, address);
    return MB_E_NOT_OPEN;
}

}  // namespace

EXPORT uint32_t HiMODBUSInit(const ModbusOptions *given)
{
    if (given == nullptr)
        return MB_E_NOT_INIT;
    char host[MODBUS_HOST_SIZE];
    std::memcpy(host, given->host, sizeof host);
    host[sizeof host - 1] = '\0';
    Target target = resolve(host, given->timeout);
    std::lock_guard lock(options.lock);
    options.is_master = given->is_master;
    options.target = target;
    options.set = true;
    return MB_OK;
}

EXPORT uint32_t HiMODBUSOpen(uintptr_t, uintptr_t *connection)
{
    uint8_t is_master;
    const Target *target;
    {
        std::lock_guard lock(options.lock);
        if (!options.set)
            return MB_E_NOT_INIT;
        is_master = options.is_master;
        target = &options.target;  // changed only by init, which the service calls once before any open
    }
    if (is_master > 1)
        return MB_E_IS_MASTER;
    if (target->problem != MB_OK)
        return target->problem;
    for (uint32_t i = 0; i < kConnections; ++i) {
        Connection &c = connections[i];
        std::lock_guard lock(c.lock);
        if (c.open)
            continue;
        c.local = c.serving = c.is_tcp = false;
        bool client = is_master == 1 && target->kind != Target::local;
        if (client)
            health.start(target->name);
        if (uint32_t status = connect(c, *target, is_master); status != MB_OK) {
            disconnect(c);
            if (client) {
                open_failure.store(status);
                health.note(status, 0);  // the container reopens once per cycle: this cycle failed
            }
            return status;
        }
        open_failure.store(MB_OK);
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
    disconnect(*c);
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
        return not_open(address);
    uint32_t status = read_span(*c, span, static_cast<uint8_t *>(buffer), length);
    if (!c->local)
        health.note(status, address);
    return status;
}

EXPORT uint32_t HiMODBUSWrite(uintptr_t connection, uint32_t address, uint32_t length, const void *buffer, uint32_t)
{
    Span span;
    if (uint32_t status = decode(address, length, span); status != MB_OK)
        return status;
    std::unique_lock<std::mutex> lock;
    Connection *c = locked(connection, lock);
    if (c == nullptr)
        return not_open(address);
    // A node that serves its map publishes into every table; a master cannot
    // write discrete inputs or input registers, by the protocol.
    if ((span.table == Table::discrete_inputs || span.table == Table::input_registers) && !c->serving)
        return MB_E_READ_ONLY;
    uint32_t status = write_span(*c, span, static_cast<const uint8_t *>(buffer), length);
    if (!c->local)
        health.note(status, address);
    return status;
}
