// Cost of preparing an ELG15019 firmware upgrade: reading the S-record file, building the boot-loader
// packets and the CRC16 of the flash image. Reported per record so it can be set against the serial
// time of one packet (37 bytes at 115200 baud is about 3.2 ms).
#include "Log.h"
#include "dispensers/eltra/Firmware.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;

constexpr int kRecords = 800;
constexpr int kDataBytes = 32;

std::string hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%0*X", digits, value);
    return buffer;
}

// S2 records of 32 bytes laid out from page 0xFA on, as a linker would emit them.
std::vector<std::string> makeLines() {
    std::vector<std::string> lines = {"S00600004844521B"};
    for (int i = 0; i < kRecords; ++i) {
        const uint32_t offset = static_cast<uint32_t>(i * kDataBytes);
        const uint32_t address = ((0xFA + offset / 0x4000) << 16) | (offset % 0x4000);
        const unsigned count = 3 + kDataBytes + 1;
        unsigned sum = count + (address >> 16) + ((address >> 8) & 0xFF) + (address & 0xFF);
        std::string line = "S2" + hex(count, 2) + hex(address, 6);
        for (int b = 0; b < kDataBytes; ++b) {
            const unsigned byte = (static_cast<unsigned>(i) * 31 + static_cast<unsigned>(b) * 7) & 0xFF;
            line += hex(byte, 2);
            sum += byte;
        }
        lines.push_back(line + hex(~sum & 0xFF, 2));
    }
    lines.push_back("S804000000FB");
    return lines;
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
    {
        std::ofstream out(gPath);
        for (const auto& line : makeLines())
            out << line << '\n';
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(gPath);
    return 0;
}
