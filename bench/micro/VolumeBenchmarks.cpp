// Loading the built-in volumes: mapping the 512 sample and reading every page of it (what
// the upload does first), the 256 sample's low-byte decode, and the brick grid the upload
// builds from the 512 sample.

#include "render/streaming/BrickGrid.h"
#include "volume/core/VolumeData.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kPageBytes = 4096;

// Reads one 16-bit sample per page, which faults every page in, as an upload would.
std::uint64_t touchEveryPage(const ByteBuffer& bytes) {
    std::uint64_t sum = 0;
    for (std::size_t offset = 0; offset + sizeof(std::uint16_t) <= bytes.size(); offset += kPageBytes) {
        std::uint16_t sample = 0;
        std::memcpy(&sample, bytes.data() + offset, sizeof sample);
        sum += sample;
    }
    return sum;
}

void BM_LoadSampleVolume(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<VolumeData> volume = VolumeData::initWithBundle();
        if (!volume || volume->data().isNull()) {
            state.SkipWithError("the built-in 512 sample is missing from Resources/");
            return;
        }
        benchmark::DoNotOptimize(touchEveryPage(volume->data()));
        bytes = volume->data().size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_LoadSampleVolume)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeLowBytes256(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<VolumeData> volume = VolumeData::init2();
        if (!volume || volume->data2flip().isNull()) {
            state.SkipWithError("the 256 sample is missing from Resources/");
            return;
        }
        bytes = volume->data2().size();
        benchmark::DoNotOptimize(volume->data2flip().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_DecodeLowBytes256)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BuildBrickGrid(benchmark::State& state) {
    const std::unique_ptr<VolumeData> volume = VolumeData::initWithBundle();
    if (!volume || volume->data().isNull()) {
        state.SkipWithError("the built-in 512 sample is missing from Resources/");
        return;
    }
    for (auto _ : state) {
        BrickGrid grid(volume->width(), volume->height(), volume->depth());
        grid.addSlices(volume->data().data(), 0, volume->depth());
        grid.finish();
        benchmark::DoNotOptimize(grid.level(0).maxima.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * volume->data().size()));
}
BENCHMARK(BM_BuildBrickGrid)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
