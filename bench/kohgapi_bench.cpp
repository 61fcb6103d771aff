// The tag store's fast paths beside baselines measured in the same run on
// the same memory. The node directory is under /dev/shm, as a node's is by
// default, and the baselines live in a file mapped from that directory the
// way the store is; the plain store goes to the tag's own value word.
// Costs are Google Benchmark repetitions, reported as ranges; the FIFO's
// throughput between two processes is measured apart from its cost.
#include "bench_report.h"
#include "kohgapi.h"
#include "robust_mutex.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kDepth = 1024;
constexpr uint32_t kRecord = 14;
constexpr uint32_t kRecords = 400000;
constexpr int kRepeats = 5;
constexpr double kByEntryGoalNs = 3.0;
constexpr double kFifoGoalRatio = 0.7;

// The baselines' ring under one robust process-shared mutex, and a copy target.
struct Baseline {
    pthread_mutex_t lock;
    uint64_t value;
    uint32_t head, tail;
    uint8_t records[kDepth][kRecord];
};
Baseline *baseline = nullptr;

Baseline *map_baseline(const std::string &dir)
{
    std::string path = dir + "/baseline.shm";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(Baseline)) != 0)
        return nullptr;
    void *map = mmap(nullptr, sizeof(Baseline), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return nullptr;
    auto *b = static_cast<Baseline *>(map);
    ko::robust_mutex_init(&b->lock);
    return b;
}

uint32_t tag_entry(const char *name, uint32_t type)
{
    uint32_t entry = 0;
    KoTagCreateEx(name, type, nullptr, nullptr);
    KoTagGetProperty(name, "Entry", &entry, 4);
    return entry;
}

bool ring_put(Baseline *r, const uint8_t *record)
{
    pthread_mutex_lock(&r->lock);
    bool room = r->tail - r->head < kDepth;
    if (room) {
        std::memcpy(r->records[r->tail % kDepth], record, kRecord);
        ++r->tail;
    }
    pthread_mutex_unlock(&r->lock);
    return room;
}

bool ring_get(Baseline *r, uint8_t *record)
{
    pthread_mutex_lock(&r->lock);
    bool any = r->tail != r->head;
    if (any) {
        std::memcpy(record, r->records[r->head % kDepth], kRecord);
        ++r->head;
    }
    pthread_mutex_unlock(&r->lock);
    return any;
}

void Baseline_PlainStore8(benchmark::State &state)
{
    uint32_t entry = tag_entry("Bench.Plain", KO_TYPE_I64);
    uint64_t v = 0;
    KoTagWriteByEntry(entry, &v, 8);  // the store is attached by now
    volatile uint64_t *word = &KoTagTable.slots[entry - 1].value;
    for (auto _ : state)
        *word = ++v;
}
BENCHMARK(Baseline_PlainStore8);

void Baseline_MutexCopy8(benchmark::State &state)
{
    uint64_t v = 0;
    for (auto _ : state) {
        pthread_mutex_lock(&baseline->lock);
        std::memcpy(&baseline->value, &v, 8);
        pthread_mutex_unlock(&baseline->lock);
        ++v;
    }
}
BENCHMARK(Baseline_MutexCopy8);

// A write of T into an i64 tag: 8 bytes go in place, others are converted by the library.
template <typename T>
void write_by_entry(benchmark::State &state, const char *name)
{
    uint32_t entry = tag_entry(name, KO_TYPE_I64);
    T v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(KoTagWriteByEntry(entry, &v, sizeof v));
        ++v;
    }
}
void Tag_WriteByEntry8(benchmark::State &state)
{
    write_by_entry<uint64_t>(state, "Bench.Write");
}
BENCHMARK(Tag_WriteByEntry8);
void Tag_WriteByEntryConverted(benchmark::State &state)
{
    write_by_entry<uint32_t>(state, "Bench.Convert");
}
BENCHMARK(Tag_WriteByEntryConverted);

void Tag_ReadByEntry8(benchmark::State &state)
{
    uint32_t entry = tag_entry("Bench.Read", KO_TYPE_I64);
    uint64_t v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(KoTagReadByEntry(entry, &v, 8));
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(Tag_ReadByEntry8);

// A 256-byte block written and read whole by entry: a writer killed
// mid-write must leave it whole, which costs a second copy per write.
void Segment_Write256(benchmark::State &state)
{
    uint32_t entry = 0;
    KoTagCreateSegment("Bench.Block", KO_TYPE_SEGMENT, 256, nullptr, nullptr, nullptr, 0, &entry);
    uint8_t block[256] = {};
    for (auto _ : state) {
        ++block[0];
        benchmark::DoNotOptimize(KoTagWriteSegment(entry, 0, block, sizeof block));
    }
}
BENCHMARK(Segment_Write256);

void Segment_Read256(benchmark::State &state)
{
    uint32_t entry = 0;
    KoTagCreateSegment("Bench.Block", KO_TYPE_SEGMENT, 256, nullptr, nullptr, nullptr, 0, &entry);
    uint8_t block[256] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(KoTagReadSegment(entry, 0, block, sizeof block));
}
BENCHMARK(Segment_Read256);

// One put and one get, nobody else on the queue.
void Baseline_RingPutGet(benchmark::State &state)
{
    uint8_t record[kRecord] = {};
    for (auto _ : state) {
        ring_put(baseline, record);
        benchmark::DoNotOptimize(ring_get(baseline, record));
    }
}
BENCHMARK(Baseline_RingPutGet);

uint32_t fifo_entry()
{
    uint32_t fifo = 0;
    KoTagCreateFIFO("Bench.Fifo", kRecord, kDepth, nullptr, nullptr, nullptr, 0, &fifo);
    return fifo;
}

void Fifo_PutGet(benchmark::State &state)
{
    uint32_t fifo = fifo_entry();
    uint8_t record[kRecord] = {};
    for (auto _ : state) {
        KoTagPutFIFO(fifo, record, kRecord, nullptr);
        benchmark::DoNotOptimize(KoTagGetFIFO(fifo, record, kRecord, nullptr));
    }
}
BENCHMARK(Fifo_PutGet);

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void pin_to(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

// Records per second from a producer process to this one, each on a CPU of
// its own when there are two; both poll without giving the CPU away, so the
// figure is the queue's and not the scheduler's. Every record is checked.
template <typename Put, typename Get>
double records_per_second(Put put, Get get, uint64_t &lost)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t producer = fork();
    if (producer == 0) {
        if (cpus >= 2)
            pin_to(0);
        uint8_t record[kRecord] = {};
        for (uint32_t i = 0; i < kRecords; ++i) {
            std::memcpy(record, &i, 4);
            while (!put(record))
                relax();
        }
        _exit(0);
    }
    if (cpus >= 2)
        pin_to(1);
    uint8_t record[kRecord];
    for (uint32_t expected = 0; expected < kRecords; ++expected) {
        while (!get(record))
            relax();
        uint32_t seen;
        std::memcpy(&seen, record, 4);
        lost += seen != expected;
    }
    waitpid(producer, nullptr, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    return kRecords / seconds;
}

struct Range {
    double low, median, high;
};

Range range_of(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

void print_range(const char *what, const Range &r, const char *unit)
{
    std::printf("  %-34s %9.1f .. %9.1f %s (median %.1f)\n", what, r.low, r.high, unit, r.median);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string dir_text = base + "/iohbench-XXXXXX";
    std::vector<char> dir(dir_text.begin(), dir_text.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr)
        return 1;
    setenv("RT_NODE_DIR", dir.data(), 1);
    baseline = map_baseline(dir.data());
    if (baseline == nullptr)
        return 1;

    Collector collector = run_benchmarks(
        argc, argv, {"--benchmark_repetitions=" + std::to_string(kRepeats), "--benchmark_report_aggregates_only=false"});

    // Throughput: the FIFO and the ring take turns, so both meet the same machine.
    uint32_t fifo = fifo_entry();
    std::vector<double> fifo_rates, ring_rates, ratios;
    uint64_t lost = 0;
    for (int i = 0; i < kRepeats; ++i) {
        baseline->head = baseline->tail = 0;
        double ring = records_per_second([](const uint8_t *r) { return ring_put(baseline, r); },
                                         [](uint8_t *r) { return ring_get(baseline, r); }, lost);
        double ours = records_per_second(
            [fifo](const uint8_t *r) { return KoTagPutFIFO(fifo, r, kRecord, nullptr) == KO_OK; },
            [fifo](uint8_t *r) { return KoTagGetFIFO(fifo, r, kRecord, nullptr) == KO_OK; }, lost);
        ring_rates.push_back(ring / 1e6);
        fifo_rates.push_back(ours / 1e6);
        ratios.push_back(ours / ring);
    }

    auto &ns = collector.times;
    std::printf("\ntag store, %d repetitions each, ranges low .. high:\n", kRepeats);
    print_range("plain 8-byte store (same word)", range_of(ns["Baseline_PlainStore8"]), "ns");
    Range write = range_of(ns["Tag_WriteByEntry8"]);
    Range read = range_of(ns["Tag_ReadByEntry8"]);
    print_range("by-entry write, 8 bytes", write, "ns");
    print_range("by-entry read, 8 bytes", read, "ns");
    print_range("robust mutex + 8-byte copy", range_of(ns["Baseline_MutexCopy8"]), "ns");
    std::printf("  by-entry goal <= %.1f ns (median write %.1f, read %.1f): %s\n", kByEntryGoalNs, write.median,
                read.median, write.median <= kByEntryGoalNs && read.median <= kByEntryGoalNs ? "met" : "NOT met");
    print_range("FIFO put + get, uncontended", range_of(ns["Fifo_PutGet"]), "ns");
    print_range("mutex ring put + get", range_of(ns["Baseline_RingPutGet"]), "ns");
    std::printf("FIFO between two processes (%u records of %u bytes, depth %u, every record checked):\n", kRecords,
                kRecord, kDepth);
    print_range("FIFO", range_of(fifo_rates), "M records/s");
    print_range("mutex ring", range_of(ring_rates), "M records/s");
    Range ratio = range_of(ratios);
    std::printf("  FIFO / ring %.2f .. %.2f (median %.2f), goal >= %.1f: %s; lost or out of order: %llu\n", ratio.low,
                ratio.high, ratio.median, kFifoGoalRatio, ratio.median >= kFifoGoalRatio ? "met" : "NOT met",
                static_cast<unsigned long long>(lost));
    std::filesystem::remove_all(dir.data());
    return 0;
}
