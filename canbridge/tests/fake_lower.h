// fake_lower.h - stand-ins for the CAN driver's two lower libraries, built
// as ecatlink.rsl (the eight entry points, answering what the test set) and
// as ehapi.rsl (a master whose gateways, images and cycles the test drives:
// every EhWaitForCyclic waits until the test releases one cycle).
#pragma once

#include <atomic>
#include <cstdint>

struct FakeGateway {
    uint32_t in_offset, in_size, out_offset, out_size, slave_index;
};

struct FakeEhapi {
    uint32_t node_status;  // EhGetEhNodeStatus's answer
    uint32_t open_calls;
    char node_name[64];    // as EhGetEhNodeStatus received it
    uint32_t gateway_count;
    FakeGateway gateways[16];
    uint16_t state;        // EhGetState's state
    uint8_t in[4096];
    uint8_t out[4096];
    std::atomic<uint32_t> released;   // cycles the test let pass
    std::atomic<uint32_t> waits;      // EhWaitForCyclic calls begun
    std::atomic<uint32_t> cancels;    // EhCancelWaitForCyclic calls
    std::atomic<bool> cancel_pending;
    std::atomic<uint32_t> cancelled_thread;
    uint32_t high_bits;  // or-ed into every status: only the low 16 bits count
    // The driver's own pass, timed inside its thread: from the return of one
    // EhWaitForCyclic to the start of the next (CLOCK_MONOTONIC, ns).
    std::atomic<uint64_t> pass_started_ns;
    std::atomic<uint64_t> last_pass_ns;
};

struct FakeEcatlink {
    std::atomic<uint32_t> connect_result;  // HiConnectChk's answer
    std::atomic<uint32_t> calls[8];        // HiInit .. HiWait
    std::atomic<uint32_t> answer;          // every other entry point's result
};

using FakeEhapiStateFn = FakeEhapi *(*)();
using FakeEcatlinkStateFn = FakeEcatlink *(*)();
