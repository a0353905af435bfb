// Cost of preparing an ELG15019 firmware upgrade: reading the S-record file, building the boot-loader
// packets and the CRC16 of the flash image. Reported per record so it can be set against the serial
// time of one packet (37 bytes at 115200 baud is about 3.2 ms).
#include "Log.h"
#include "S19.h"
#include "dispensers/eltra/Firmware.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using corvane::test::S19;
using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;

constexpr int kRecords = 800;

// S2 records of 32 bytes laid out from page 0xFA on, as a linker would emit them (25 KiB, no wrap).
std::vector<std::string> makeLines() {
    return S19().contiguous(kRecords).lines();
}

std::string gPath;

// Time per record (seconds, shown with an SI prefix) next to the items/s figure.
void countRecords(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRecords,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The whole preparation as the upgrade does it: file read, records parsed, packets and CRC.
void BM_FirmwareOpen(benchmark::State& state) {
    for (auto _ : state) {
        Firmware firmware;
        const bool opened = firmware.open(gPath);
        benchmark::DoNotOptimize(opened);
        benchmark::DoNotOptimize(firmware.crc());
    }
    countRecords(state);
}
BENCHMARK(BM_FirmwareOpen)->Unit(benchmark::kMicrosecond);

void BM_CalculateBytes(benchmark::State& state) {
    const auto lines = makeLines();
    Firmware firmware;
    for (auto _ : state)
        benchmark::DoNotOptimize(firmware.calculateBytes(lines));
    countRecords(state);
}
BENCHMARK(BM_CalculateBytes)->Unit(benchmark::kMicrosecond);

void BM_CalculateCrc(benchmark::State& state) {
    const auto lines = makeLines();
    Firmware firmware;
    for (auto _ : state)
        benchmark::DoNotOptimize(firmware.calculateCrc(lines));
    countRecords(state);
}
BENCHMARK(BM_CalculateCrc)->Unit(benchmark::kMicrosecond);

// The checksum alone over the 81920-byte image.
void BM_Crc16Image(benchmark::State& state) {
    const std::vector<uint8_t> image(0x14000, 0xA5);
    for (auto _ : state)
        benchmark::DoNotOptimize(Firmware::crc16(image));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_Crc16Image)->Unit(benchmark::kMicrosecond);

// What the printer simulator does with the packets it received.
void BM_CrcOfPackets(benchmark::State& state) {
    Firmware firmware;
    const auto packets = firmware.calculateBytes(makeLines());
    for (auto _ : state)
        benchmark::DoNotOptimize(Firmware::crcOfPackets(packets));
    countRecords(state);
}
BENCHMARK(BM_CrcOfPackets)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // Keep the per-open "Loaded ... lines" info line out of the measurement.
    Log::setLevel(Log::Warning);
    gPath = (std::filesystem::temp_directory_path() / ("bench_firmware-" + std::to_string(getpid()) + ".s19"))
                .string();
    S19().contiguous(kRecords).save(gPath);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(gPath);
    return 0;
}
