// ecatslaves - the terminals of a bus file at the far end of a cable: one
// packet socket on an interface, a simulated slave controller per terminal
// answering every frame in chain order, and the same terminal behaviour as
// the simulated master (wired inputs, analog signals, EL6751 gateways on
// simulated CAN buses), run once per frame of process data.
//
// Tags (in the node of RT_NODE_DIR), for bus NAME (the bus file's name
// without its extension, or "default"):
//   ECATSLAVES.NAME.Frames          u32  frames answered
//   ECATSLAVES.NAME.Fault.WrongWkc  u8   1: process data comes back with a working counter one too low
//   ECATSLAVES.NAME.TERMINAL.Silent u8   EL6751: 1 = it stops answering the handshake
//   ECATSLAVES.NAME.CAN.BUS.Frames / .Lost  u32
// A pulled cable is this program ending. Slave controllers answer within
// microseconds, so the program asks for SCHED_FIFO priority 90 and locked
// memory where it may (root), and runs as an ordinary process elsewhere.
#include "bus.h"
#include "datagram.h"
#include "kohgapi.h"
#include "monotonic.h"
#include "plant.h"
#include "raw_socket.h"
#include "slave_controller.h"
#include "tag_entry.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <sched.h>
#include <set>
#include <sys/mman.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void stop(int)
{
    g_stop = 1;
}

std::string stem(const std::string &path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    return name.substr(0, name.find('.'));
}

// Process data frames answered with one less on every logical datagram.
void lower_working_counters(uint8_t *frame, size_t size)
{
    ecatwire::FrameReader reader(frame, size);
    for (ecatwire::Datagram d; reader.valid() && reader.next(d);)
        if (d.command >= ecatwire::kLrd && d.command <= ecatwire::kLrw && d.working_counter() > 0)
            d.set_working_counter(static_cast<uint16_t>(d.working_counter() - 1));
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"ecatslaves - EtherCAT terminals of a bus file answering frames on a network interface"};
    std::string interface, bus_path;
    std::vector<std::string> misplaced;
    app.add_option("-i,--interface", interface, "the network interface (the far end of the master's cable)")
        ->required();
    app.add_option("-b,--bus", bus_path, "the bus file (default: the simulated master's default bus)");
    app.add_option("--misplaced-sii", misplaced,
                   "TERMINAL: its SII names sync managers at addresses its controller does not use, "
                   "so it refuses SAFEOP (AL status code 0x001D or 0x001E)");
    app.footer("Example: ecatslaves --interface veth1 --bus line1.toml");
    CLI11_PARSE(app, argc, argv);

    ecatsim::BusDecl bus;
    std::string error;
    if (bus_path.empty()) {
        bus = ecatsim::default_bus();
    } else if (!ecatsim::load_bus_file(bus_path, stem(bus_path), bus, error)) {
        std::fprintf(stderr, "ecatslaves: %s\n", error.c_str());
        return 2;
    }
    std::set<std::string> wrong(misplaced.begin(), misplaced.end());
    for (const ecatsim::TerminalDecl &t : bus.terminals)
        wrong.erase(t.name);
    if (!wrong.empty()) {
        std::fprintf(stderr, "ecatslaves: --misplaced-sii %s: no terminal of that name on bus %s\n",
                     wrong.begin()->c_str(), bus.name.c_str());
        return 2;
    }
    ecatwire::RawSocket socket;
    if (!socket.open(interface, error)) {
        std::fprintf(stderr, "ecatslaves: %s\n", error.c_str());
        return 1;
    }

    ecatsim::Layout layout = ecatsim::lay_out(bus.terminals);
    std::vector<uint8_t> input(layout.in_size, 0), output(layout.out_size, 0);
    std::vector<ecatwire::SlaveController> chain;
    for (size_t i = 0; i < bus.terminals.size(); ++i) {
        const ecatsim::TerminalDecl &t = bus.terminals[i];
        bool misplace = std::find(misplaced.begin(), misplaced.end(), t.name) != misplaced.end();
        chain.emplace_back(t, input.data() + layout.places[i].in_offset, output.data() + layout.places[i].out_offset,
                           misplace);
    }
    ecatsim::Plant plant(bus, layout);
    std::string prefix = "ECATSLAVES." + bus.name + ".";
    plant.make_tags(prefix);
    uint32_t frames_entry = ecatsim::make_tag(prefix + "Frames", KO_TYPE_U32, "EtherCAT frames answered");
    uint32_t wrong_wkc_entry = ecatsim::make_tag(prefix + "Fault.WrongWkc", KO_TYPE_U8,
                                                 "fault switch: 1 = process data comes back with a wrong working counter");
    uint8_t zero = 0;
    KoTagWriteByEntry(wrong_wkc_entry, &zero, 1);

    sched_param realtime{};
    realtime.sched_priority = 90;
    if (sched_setscheduler(0, SCHED_FIFO, &realtime) == 0)
        mlockall(MCL_CURRENT | MCL_FUTURE);
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    std::printf("ecatslaves: %zu terminals of bus %s answer on %s\n", bus.terminals.size(), bus.name.c_str(),
                interface.c_str());
    std::fflush(stdout);

    uint8_t frame[ecatwire::kMaxFrame];
    uint32_t frames = 0, cycles = 0;
    int64_t start = ecatsim::now_ns(), last_cycle = start, period_ns = 1000000;
    while (g_stop == 0) {
        long size = socket.receive(frame, sizeof frame, 100'000'000);
        if (size < 0) {
            std::fprintf(stderr, "ecatslaves: %s: the interface failed\n", interface.c_str());
            return 1;
        }
        if (size == 0 || !ecatwire::pass_frame(chain, frame, static_cast<size_t>(size))) {
            if (size > 0 && socket.send(frame, static_cast<size_t>(size)))
                ++frames;
            continue;
        }
        uint8_t wrong_wkc = 0;
        KoTagReadByEntry(wrong_wkc_entry, &wrong_wkc, 1);
        if (wrong_wkc != 0)
            lower_working_counters(frame, static_cast<size_t>(size));
        if (socket.send(frame, static_cast<size_t>(size)))
            ++frames;
        int64_t now = ecatsim::now_ns();
        period_ns = std::max<int64_t>(now - last_cycle, 1);
        last_cycle = now;
        plant.read_switches();
        plant.exchange(input.data(), output.data(), static_cast<double>(now - start) / 1e6, now, cycles++, period_ns,
                       nullptr);
        plant.publish();
        KoTagWriteByEntry(frames_entry, &frames, 4);
    }
    return 0;
}
