// The tag store's fast paths beside baselines measured in the same run on
// the same kind of memory: a by-entry value access against a robust
// process-shared mutex around a 4-byte copy, and a FIFO between two
// processes against a ring of the same depth under one such mutex.
#include "kohgapi.h"
#include "robust_mutex.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kDepth = 1024;
constexpr uint32_t kRecord = 14;
constexpr uint32_t kRecords = 200000;

void *shared_memory(size_t size)
{
    return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
}


uint32_t tag_entry(const char *name)
{
    uint32_t entry = 0;
    KoTagCreateEx(name, KO_TYPE_I32, nullptr, nullptr);
    KoTagGetProperty(name, "Entry", &entry, 4);
    return entry;
}

void Baseline_MutexCopy4(benchmark::State &state)
{
    struct Shared {
        pthread_mutex_t lock;
        uint32_t value;
    };
    auto *s = static_cast<Shared *>(shared_memory(sizeof(Shared)));
    ko::robust_mutex_init(&s->lock);
    uint32_t v = 0;
    for (auto _ : state) {
        pthread_mutex_lock(&s->lock);
        std::memcpy(&s->value, &v, 4);
        pthread_mutex_unlock(&s->lock);
        ++v;
    }
    benchmark::DoNotOptimize(s->value);
    munmap(s, sizeof(Shared));
}
BENCHMARK(Baseline_MutexCopy4);

void Tag_WriteByEntry4(benchmark::State &state)
{
    uint32_t entry = tag_entry("Bench.Write");
    uint32_t v = 0;
    for (auto _ : state) {
        KoTagWriteByEntry(entry, &v, 4);
        ++v;
    }
}
BENCHMARK(Tag_WriteByEntry4);

void Tag_ReadByEntry4(benchmark::State &state)
{
    uint32_t entry = tag_entry("Bench.Read");
    uint32_t v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(KoTagReadByEntry(entry, &v, 4));
}
BENCHMARK(Tag_ReadByEntry4);

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

// Producer process puts kRecords numbered records; the consumer here checks
// every one arrives once, in order. Both yield when the ring is full/empty.
template <typename Put, typename Get>
void run_pipe(benchmark::State &state, Put put, Get get)
{
    uint64_t lost = 0;
    for (auto _ : state) {
        pid_t producer = fork();
        if (producer == 0) {
            uint8_t record[kRecord] = {};
            for (uint32_t i = 0; i < kRecords; ++i) {
                std::memcpy(record, &i, 4);
                while (!put(record))
                    sched_yield();
            }
            _exit(0);
        }
        uint8_t record[kRecord];
        for (uint32_t expected = 0; expected < kRecords; ++expected) {
            while (!get(record))
                sched_yield();
            uint32_t seen;
            std::memcpy(&seen, record, 4);
            lost += seen != expected;
        }
        waitpid(producer, nullptr, 0);
    }
    state.counters["records/s"] = benchmark::Counter(double(kRecords) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["lost"] = double(lost);
}

void Baseline_MutexRingBetweenProcesses(benchmark::State &state)
{
    struct Ring {
        pthread_mutex_t lock;
        uint32_t head, tail;
        uint8_t records[kDepth][kRecord];
    };
    auto *r = static_cast<Ring *>(shared_memory(sizeof(Ring)));
    ko::robust_mutex_init(&r->lock);
    auto put = [r](const uint8_t *record) {
        pthread_mutex_lock(&r->lock);
        bool room = r->tail - r->head < kDepth;
        if (room) {
            std::memcpy(r->records[r->tail % kDepth], record, kRecord);
            ++r->tail;
        }
        pthread_mutex_unlock(&r->lock);
        return room;
    };
    auto get = [r](uint8_t *record) {
        pthread_mutex_lock(&r->lock);
        bool any = r->tail != r->head;
        if (any) {
            std::memcpy(record, r->records[r->head % kDepth], kRecord);
            ++r->head;
        }
        pthread_mutex_unlock(&r->lock);
        return any;
    };
    run_pipe(state, put, get);
    munmap(r, sizeof(Ring));
}
BENCHMARK(Baseline_MutexRingBetweenProcesses)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void Tag_FifoBetweenProcesses(benchmark::State &state)
{
    uint32_t fifo = 0;
    KoTagCreateFIFO("Bench.Fifo", kRecord, kDepth, nullptr, nullptr, nullptr, 0, &fifo);
    auto put = [fifo](const uint8_t *record) { return KoTagPutFIFO(fifo, record, kRecord, nullptr) == KO_OK; };
    auto get = [fifo](uint8_t *record) { return KoTagGetFIFO(fifo, record, kRecord, nullptr) == KO_OK; };
    run_pipe(state, put, get);
}
BENCHMARK(Tag_FifoBetweenProcesses)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char **argv)
{
    char dir[] = "/tmp/iohbench-XXXXXX";
    if (std::getenv("RT_NODE_DIR") == nullptr && mkdtemp(dir) != nullptr)
        setenv("RT_NODE_DIR", dir, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (std::strcmp(std::getenv("RT_NODE_DIR"), dir) == 0)
        std::system(("rm -rf " + std::string(dir)).c_str());
    return 0;
}
