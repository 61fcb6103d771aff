// pace_samples.h - the file through which the pacing bench's driver hands
// the start time of every In thread cycle to the bench: one row of
// CLOCK_MONOTONIC times per In thread, filled in order.
#ifndef PACE_SAMPLES_H
#define PACE_SAMPLES_H

#include <atomic>
#include <cstdint>

struct PaceSamples {
    static constexpr uint32_t kThreads = 32;
    static constexpr uint32_t kMax = 16384;
    std::atomic<uint32_t> count[kThreads];
    uint64_t ns[kThreads][kMax];
};

// In the node directory, made by the bench before the service starts.
constexpr const char *kPaceSamplesFile = "pace.samples";

#endif
