// A keystroke's load goes from the window's thread to the board's thread and
// back: that round trip must stay far under a millisecond. Prints ns per
// load through the board (a null port) and heap allocations per load, and
// the cost of decoding one load in the emulated chip.
#include "dds/Ad9850.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> allocations{0};

class NullPort : public kalimor::dds::PortBackend {
public:
    void write(int, const std::uint8_t* bytes, std::size_t count) override {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(count);
    }
    QString describe() const override { return {}; }
};

void BM_WriteDDSWordNull(benchmark::State& state) {
    NullPort port;
    kalimor::setPortBackend(&port);
    kalimor::dds::board().setAddress(0x378);
    std::int32_t word = 42950;
    const long before = allocations.load();
    for (auto _ : state) {
        kalimor::WriteDDSWord(word, 3, 0);
        ++word;
    }
    state.counters["allocs_per_load"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
    kalimor::setPortBackend(nullptr);
}
BENCHMARK(BM_WriteDDSWordNull);

void BM_DecodeInEmulatedChip(benchmark::State& state) {
    NullPort port;
    kalimor::setPortBackend(&port);
    kalimor::WriteDDSWord(302365698, 5, 0);
    const std::uint8_t* bytes = kalimor::lastLoadBytes();
    kalimor::dds::Ad9850 chip;
    for (auto _ : state) {
        chip.feed(bytes, 82);
        std::uint32_t ftw = chip.state().ftw;
        benchmark::DoNotOptimize(ftw);
    }
    kalimor::setPortBackend(nullptr);
}
BENCHMARK(BM_DecodeInEmulatedChip);

} // namespace

// GCC 14 takes the free() in these replacements for a mismatched delete of
// what operator new returned, not seeing that this operator new is malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

BENCHMARK_MAIN();
