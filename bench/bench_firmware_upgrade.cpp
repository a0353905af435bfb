// A whole ELG15019 firmware upgrade against the printer simulator on a pseudo-terminal, with the
// printer's fixed pauses (3 s + 0.5 s + 3 s + 4 s) left out. Reported next to the time the same bytes
// need on a real 115200 baud line (10 bits per byte, both directions, since every packet waits for its
// answer): the write path has to be bounded by the line, not by the code.
#include "ElgSimulator.h"
#include "Log.h"
#include "S19.h"
#include "WorkDir.h"
#include "dispensers/eltra/Driver.h"
#include "dispensers/eltra/Firmware.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using corvane::test::S19;
using corvane::test::WorkDir;
using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Driver;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Timing;
using Clock = std::chrono::steady_clock;

void BM_FirmwareUpgrade(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    const WorkDir dir; // the driver keeps its files in the working directory
    const std::string image = (dir.path() / "image.s19").string();
    // S2 records of 32 bytes laid out from page 0xFA on, as a linker would emit them.
    S19().contiguous(static_cast<std::size_t>(records)).save(image);

    Firmware firmware;
    firmware.open(image);
    // Host to printer: '|' frame (8), binary mode, erase, packets, CRC request, exit. Printer to host:
    // acknowledge, binary answer, 244 + 1 erase bytes, one byte per packet, two CRC bytes.
    double bytes = 8 + 1 + 2 + 2 + 2 + 1 + 1 + 245 + 2;
    for (const auto& packet : firmware.bytes())
        bytes += static_cast<double>(packet.size()) + 1;
    const double wireSeconds = bytes * 10.0 / 115200.0;

    double bootLoaderSeconds = 0;
    {
        ElgSimulator simulator;
        Timing timing;
        timing.sleep = [](std::chrono::milliseconds) {};
        Driver driver(simulator.link(), timing);
        driver.start();
        Clock::time_point first{};
        Clock::time_point last{};
        driver.firmwareUpgradeProgress.connect([&](float percent) {
            if (first == Clock::time_point{})
                first = Clock::now();
            if (percent >= 100.0f)
                last = Clock::now();
        });
        for (auto _ : state) {
            first = {};
            const std::error_code ec = driver.firmwareUpgrade(image, 0);
            if (ec)
                state.SkipWithError(ec.message().c_str());
            bootLoaderSeconds += std::chrono::duration<double>(last - first).count();
        }
    }

    const double iterations = static_cast<double>(state.iterations());
    state.counters["packets"] = static_cast<double>(firmware.bytes().size());
    state.counters["wire_bytes"] = bytes;
    state.counters["wire_ms"] = wireSeconds * 1000.0;
    // Erase start to CRC report: the boot-loader exchange itself.
    state.counters["bootloader_ms"] = bootLoaderSeconds / iterations * 1000.0;
    state.counters["bootloader_per_wire"] = bootLoaderSeconds / iterations / wireSeconds;
}

BENCHMARK(BM_FirmwareUpgrade)
    ->Arg(300)
    ->Arg(1000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    Log::setLevel(Log::Error);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
