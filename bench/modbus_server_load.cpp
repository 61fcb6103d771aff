// modbus_server_load.cpp - the node's Modbus server under load: a good
// master's response time (10 holding registers) alone, beside 16 good
// masters, and beside 8 hostile ones (3 that never read their replies, 3 that
// send a byte every 0.4 s, 2 that send half a frame), while a stand-in for the
// service's cycle reads and writes the map every millisecond (a SCHED_FIFO
// thread where the rights allow, as under RT_SCHED=fifo). Rounds alone and
// beside hostile masters take turns three times. Goal: the median of the
// three ratios of the good master's p99 beside hostile masters to its p99
// alone is at most 2, and the cycle misses no period beside them.
#include "hi_modbus_api.h"
#include "modbus_status.h"
#include "rt.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <modbus.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

int raw_connection(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Round {
    std::vector<double> latency_us;
    uint64_t cycles = 0, missed = 0;
};

// The good master's requests for a while, beside whatever else runs.
Round measure(int port, std::chrono::milliseconds length, const HiMODBUSReadFn read, const HiMODBUSWriteFn write,
              uintptr_t local)
{
    Round r;
    std::atomic<bool> stop{false};
    std::thread cycle([&] {  // the service's cycle: a read and a write of the map every millisecond
        sched_param param{};
        param.sched_priority = 50;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        auto next = Clock::now();
        uint16_t value[10];
        while (!stop.load()) {
            next += std::chrono::milliseconds(1);
            read(local, 400001, sizeof value, value, sizeof value, 0);
            write(local, 400021, sizeof value, value, 0);
            ++r.cycles;
            if (Clock::now() > next + std::chrono::milliseconds(1))
                ++r.missed;  // a whole period late
            std::this_thread::sleep_until(next);
        }
    });
    modbus_t *client = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(client, 2, 0);
    if (modbus_connect(client) == 0) {
        uint16_t registers[10];
        auto end = Clock::now() + length;
        while (Clock::now() < end) {
            auto begin = Clock::now();
            if (modbus_read_registers(client, 0, 10, registers) == 10)
                r.latency_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    modbus_close(client);
    modbus_free(client);
    stop = true;
    cycle.join();
    return r;
}

}  // namespace

void report_server_under_load(int port)
{
    RTHANDLE module = LoadRtLibrary("hiMODBUSapi.rsl");
    auto init = reinterpret_cast<HiMODBUSInitFn>(GetRtProcAddress(module, "HiMODBUSInit"));
    auto open = reinterpret_cast<HiMODBUSOpenFn>(GetRtProcAddress(module, "HiMODBUSOpen"));
    auto read = reinterpret_cast<HiMODBUSReadFn>(GetRtProcAddress(module, "HiMODBUSRead"));
    auto write = reinterpret_cast<HiMODBUSWriteFn>(GetRtProcAddress(module, "HiMODBUSWrite"));
    auto close_connection = reinterpret_cast<HiMODBUSCloseFn>(GetRtProcAddress(module, "HiMODBUSClose"));
    if (init == nullptr || open == nullptr || read == nullptr || write == nullptr || close_connection == nullptr)
        return;
    // A server for 17 masters at once: a [[modbus]] device of the bench's node.
    std::FILE *config = std::fopen((std::string(RtNodeDirectory()) + "/node.toml").c_str(), "w");
    std::fprintf(config, "[[modbus]]\nname = \"bench\"\naddress = \"127.0.0.1\"\nport = %d\nmax_connections = 32\n", port);
    std::fclose(config);
    ModbusOptions options{};
    std::snprintf(options.host, sizeof options.host, "bench");
    options.is_master = 0;
    uintptr_t local = 0;
    if (init(&options) != MB_OK || open(0, &local) != MB_OK) {
        std::printf("the node's server did not start on %s\n", options.host);
        return;
    }
    constexpr auto kRound = std::chrono::milliseconds(1500);
    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    auto end_others = [&] {
        stop = true;
        for (std::thread &t : others)
            t.join();
        others.clear();
        stop = false;
    };
    auto crowd = [&] {
        for (int i = 0; i < 16; ++i)
            others.emplace_back([&] {
                modbus_t *c = modbus_new_tcp("127.0.0.1", port);
                uint16_t registers[10];
                if (modbus_connect(c) == 0)
                    while (!stop.load())
                        modbus_read_registers(c, 0, 10, registers);
                modbus_close(c);
                modbus_free(c);
            });
    };
    const uint8_t request[] = {0, 1, 0, 0, 0, 6, 255, 3, 0, 0, 0, 10};
    auto attack = [&] {
        for (int i = 0; i < 8; ++i)
            others.emplace_back([&, i] {
                int fd = raw_connection(port);
                if (fd < 0)
                    return;
                if (i < 3) {  // never reads: sends until the kernel takes no more
                    while (!stop.load())
                        if (send(fd, request, sizeof request, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(10));
                } else if (i < 6) {  // a byte every 0.4 s
                    for (size_t at = 0; !stop.load(); ++at) {
                        send(fd, request + at % sizeof request, 1, MSG_NOSIGNAL);
                        for (int k = 0; k < 40 && !stop.load(); ++k)
                            std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                } else {  // half a frame, then nothing
                    send(fd, request, 5, MSG_NOSIGNAL);
                    while (!stop.load())
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                close(fd);
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    auto line = [](const char *name, const Round &r) {
        std::printf("  %-26s %7.1f %7.1f %8.1f   %zu answers; cycles %llu, missed %llu\n", name,
                    percentile(r.latency_us, 0.5), percentile(r.latency_us, 0.99), percentile(r.latency_us, 1.0),
                    r.latency_us.size(), static_cast<unsigned long long>(r.cycles),
                    static_cast<unsigned long long>(r.missed));
    };
    std::printf("\nthe node's Modbus server, a good master's 10-register reads on loopback (p50 / p99 / max, us), "
                "and the service's 1 ms cycle:\n");
    std::vector<double> ratios;
    uint64_t missed = 0;
    bool answered = true;
    for (int pair = 0; pair < 3; ++pair) {
        Round alone = measure(port, kRound, read, write, local);
        attack();
        Round hostile = measure(port, kRound, read, write, local);
        end_others();
        line("alone", alone);
        line("beside 8 hostile masters", hostile);
        ratios.push_back(percentile(hostile.latency_us, 0.99) / std::max(percentile(alone.latency_us, 0.99), 1.0));
        missed += hostile.missed;
        answered = answered && !hostile.latency_us.empty();
    }
    crowd();
    line("beside 16 good masters", measure(port, kRound, read, write, local));
    end_others();
    close_connection(local);
    std::sort(ratios.begin(), ratios.end());
    bool met = ratios[1] <= 2.0 && missed == 0 && answered;
    std::printf("  goal: p99 beside hostile masters <= 2 x alone (%.2f, %.2f, %.2f: median %.2f), no missed cycle "
                "beside them (%llu): %s\n",
                ratios[0], ratios[1], ratios[2], ratios[1], static_cast<unsigned long long>(missed),
                met ? "met" : "NOT met");
}
