// hiecat.cpp - "hiecat.rsl": the process data of the simulated master.
// Init starts the master on the bus its node_name option picks, Open asks
// it for the operational state, and Read and Write move bytes of the images
// and registers through a connection object.
#include "ecatsim.h"
#include "kohgapi.h"
#include "master.h"
#include "node_config.h"
#include "wire_master.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// A connection: its second 32-bit word is the ehapi handle of its master.
struct Connection {
    uint32_t magic;
    uint32_t handle;
    std::atomic<uint32_t> open;
    ecatsim::Master *master;
};
static_assert(offsetof(Connection, handle) == 4, "the handle is the second 32-bit word");

// Connections are never freed: a thread holding a closed one is refused,
// never sent through freed memory. A reconnection reuses its own object.
constexpr size_t kConnections = 256;
constexpr uint32_t kMagic = 0x45434154;  // "ECAT"
Connection g_connections[kConnections];
std::atomic<size_t> g_used{0};

Connection *connection_of(uintptr_t word)
{
    auto first = reinterpret_cast<uintptr_t>(&g_connections[0]);
    if (word < first || word >= first + sizeof g_connections || (word - first) % sizeof(Connection) != 0)
        return nullptr;
    auto *c = reinterpret_cast<Connection *>(word);
    return c->open.load(std::memory_order_relaxed) != 0 ? c : nullptr;
}

Connection *take_connection(uintptr_t previous)
{
    auto first = reinterpret_cast<uintptr_t>(&g_connections[0]);
    if (previous >= first && previous < first + sizeof g_connections && (previous - first) % sizeof(Connection) == 0)
        return reinterpret_cast<Connection *>(previous);
    size_t index = g_used.fetch_add(1);
    if (index < kConnections)
        return &g_connections[index];
    for (Connection &c : g_connections)
        if (c.open.load() == 0)
            return &c;
    return nullptr;
}

// Items of an option string, joined by "|".
bool next_item(const char *&cursor, std::string &item)
{
    if (cursor == nullptr || *cursor == '\0')
        return false;
    const char *bar = std::strchr(cursor, '|');
    item.assign(cursor, bar != nullptr ? static_cast<size_t>(bar - cursor) : std::strlen(cursor));
    cursor = bar != nullptr ? bar + 1 : cursor + item.size();
    return true;
}

void report(const std::string &message)
{
    std::fprintf(stderr, "ecatsim: %s\n", message.c_str());
    KoLogWrite("ecatsim", "ERR", message.c_str());
}

// The bus node_name picks: an [[ethercat]] master of the node config, or
// without a name the default bus (the config's master named "default" when
// it declares one, so that a service without NodeName can run it on a
// cable); interface: the network interface of a wire master, or empty.
uint32_t bus_for(const std::string &node_name, ecatsim::BusDecl &bus, std::string &interface)
{
    ko::NodeConfig config;
    std::string error, path = ko::node_config_path();
    bool have_config = !ko::node_config_absent(path) && ko::load_node_config(path, config, error);
    const ko::EthercatDecl *master = have_config ? config.ethercat_master(node_name.empty() ? "default" : node_name)
                                                 : nullptr;
    if (node_name.empty() && master == nullptr) {
        bus = ecatsim::default_bus();
        return ECATSIM_OK;
    }
    if (!have_config) {
        report(error.empty() ? "node_name=" + node_name + ": there is no node config (" + path + ") to name it"
                             : error);
        return ECATSIM_E_MASTER;
    }
    if (master == nullptr) {
        report("node_name=" + node_name + ": the node config " + path + " has no [[ethercat]] master of that name");
        return ECATSIM_E_MASTER;
    }
    interface = master->interface;
    if (master->bus.empty()) {
        bus = ecatsim::default_bus();
        bus.name = master->name;
    } else if (!ecatsim::load_bus_file(master->bus, master->name, bus, error)) {
        report(error);
        return ECATSIM_E_BUS_FILE;
    }
    return ECATSIM_OK;
}

}  // namespace

EXPORT uint32_t Init(const char *, const char *options, uintptr_t *init_context, uint32_t)
{
    std::string node_name, item;
    for (const char *cursor = options; next_item(cursor, item);) {
        if (item.rfind("node_name=", 0) != 0)
            return ECATSIM_E_OPTION;
        node_name = item.substr(10);
    }
    ecatsim::BusDecl bus;
    std::string interface;
    if (uint32_t status = bus_for(node_name, bus, interface); status != ECATSIM_OK)
        return status;
    ecatsim::SegmentMaker wire;
    if (!interface.empty())
        wire = [interface](const ecatsim::BusDecl &b, const ecatsim::Layout &layout, int64_t period_ns) {
            return ecatwire::wire_segment(interface, b, layout, period_ns);
        };
    ecatsim::Master *master = nullptr;
    uint32_t status = ecatsim::Master::start(bus, &master, wire);
    if (status == ECATSIM_E_OTHER_BUS)
        report("bus " + bus.name + ": this process already runs bus " + ecatsim::Master::running()->bus().name);
    if (status == ECATSIM_OK)
        *init_context = reinterpret_cast<uintptr_t>(master);
    return status;
}

EXPORT uint32_t Open(uintptr_t init_context, const char *options, uintptr_t *connection, uint32_t timeout)
{
    ecatsim::Master *master = ecatsim::Master::running();
    if (master == nullptr || init_context != reinterpret_cast<uintptr_t>(master))
        return ECATSIM_E_NOT_INIT;
    bool wait_esm = false;
    std::string item;
    for (const char *cursor = options; next_item(cursor, item);) {
        if (item != "WAIT_ESM")
            return ECATSIM_E_OPTION;
        wait_esm = true;
    }
    if (uint32_t status = master->open(wait_esm, timeout); status != ECATSIM_OK)
        return status;
    Connection *c = take_connection(*connection);
    if (c == nullptr)
        return ECATSIM_E_START;
    // A reconnection reuses its object while the driver's cycle wait reads
    // the handle word through it: the fields are written once, when the
    // object is new (the process has one master, so they never change).
    if (c->magic != kMagic) {
        c->handle = ecatsim::kMasterHandle;
        c->master = master;
        c->magic = kMagic;
    }
    c->open.store(1);
    *connection = reinterpret_cast<uintptr_t>(c);
    return ECATSIM_OK;
}

EXPORT uint32_t Close(uintptr_t connection)
{
    Connection *c = connection_of(connection);
    if (c == nullptr)
        return ECATSIM_E_NOT_OPEN;
    c->open.store(0);
    return ECATSIM_OK;
}

EXPORT uint32_t Read(uintptr_t connection, uint32_t address, void *buffer, uint32_t length, uint32_t, uint32_t)
{
    Connection *c = connection_of(connection);
    return c == nullptr ? ECATSIM_E_NOT_OPEN : c->master->read(address, buffer, length);
}

EXPORT uint32_t Write(uintptr_t connection, uint32_t address, const void *buffer, uint32_t length, uint32_t)
{
    Connection *c = connection_of(connection);
    return c == nullptr ? ECATSIM_E_NOT_OPEN : c->master->write(address, buffer, length);
}
