// A whole ELG15019 firmware upgrade against the printer simulator on a pseudo-terminal, with the
// printer's fixed pauses (3 s + 0.5 s + 3 s + 4 s) left out. Reported next to the time the same bytes
// need on a real 115200 baud line (10 bits per byte, both directions, since every packet waits for its
// answer): the write path has to be bounded by the line, not by the code.
#include "Log.h"
#include "S19.h"
#include "dispensers/eltra/Driver.h"
#include "dispensers/eltra/Firmware.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using corvane::test::S19;
using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Driver;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Timing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The simulator program beside this benchmark's build tree, on a link in a private directory.
class Simulator {
public:
    explicit Simulator(const fs::path& dir) : mLink((dir / "printer").string()) {
        // bench/<program> and tools/elg-simulator share the build tree.
        const std::string program =
            (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "elg-simulator")
                .string();
        const std::string control = (dir / "printer.ctl").string();
        mPid = fork();
        if (mPid == 0) {
            const int devNull = open("/dev/null", O_WRONLY);
            if (devNull >= 0)
                dup2(devNull, STDOUT_FILENO);
            execl(program.c_str(), program.c_str(), mLink.c_str(), "--control", control.c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !fs::is_symlink(mLink); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!fs::is_symlink(mLink))
            throw std::runtime_error("elg-simulator did not come up (" + program + ")");
    }
    ~Simulator() {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
    const std::string& link() const { return mLink; }

private:
    std::string mLink;
    pid_t mPid = -1;
};

void BM_FirmwareUpgrade(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    const fs::path dir = fs::temp_directory_path() / ("bench-upgrade-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path previous = fs::current_path();
    fs::current_path(dir); // the driver keeps its files in the working directory
    const std::string image = (dir / "image.s19").string();
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
        Simulator simulator(dir);
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
    fs::current_path(previous);
    fs::remove_all(dir);

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
