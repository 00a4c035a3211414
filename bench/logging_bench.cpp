// Logger throughput: messages per second through a file destination and through a
// console destination writing to /dev/null, both with the default format, and the
// cost of a message that every destination drops by level (its text is never made).
#include "logging/ConsoleDestination.h"
#include "logging/FileDestination.h"
#include "logging/Logbook.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using tbx::Logbook;

namespace {

void logMessages(benchmark::State& state) {
    const int batch = 1000;
    std::int64_t i = 0;
    for (auto _ : state) {
        for (int k = 0; k < batch; ++k) {
            Logbook::info([&] { return "scan page " + std::to_string(i); }, "/src/scanning/ScannerModel.cpp",
                          "startScan(uiParam:)", ++i);
        }
        Logbook::flush(60); // every line written before the next batch
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_FileDestination(benchmark::State& state) {
    std::string pattern = (fs::temp_directory_path() / "tbx-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    Logbook::removeAllDestinations();
    Logbook::addDestination(std::make_shared<tbx::FileDestination>(dir / "logbook.log"));
    logMessages(state);
    Logbook::removeAllDestinations();
    fs::remove_all(dir);
}
BENCHMARK(BM_FileDestination)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ConsoleToDevNull(benchmark::State& state) {
    const int saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    Logbook::removeAllDestinations();
    Logbook::addDestination(std::make_shared<tbx::ConsoleDestination>());
    logMessages(state);
    Logbook::removeAllDestinations();
    ::dup2(saved, STDOUT_FILENO);
    ::close(null);
    ::close(saved);
}
BENCHMARK(BM_ConsoleToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DroppedByLevel(benchmark::State& state) {
    Logbook::removeAllDestinations();
    auto file = std::make_shared<tbx::FileDestination>(fs::temp_directory_path() / "tbx-never-written.log");
    auto console = std::make_shared<tbx::ConsoleDestination>();
    file->setMinLevel(tbx::LogLevel::error);
    console->setMinLevel(tbx::LogLevel::error);
    Logbook::addDestination(file);
    Logbook::addDestination(console);
    std::int64_t produced = 0;
    for (auto _ : state) {
        Logbook::verbose(
            [&] {
                ++produced;
                return std::string(4096, 'x');
            },
            "/src/scanning/ScannerModel.cpp", "startScan(uiParam:)", 7);
    }
    if (produced != 0) {
        state.SkipWithError("a dropped message was produced");
    }
    state.SetItemsProcessed(state.iterations());
    Logbook::removeAllDestinations();
}
BENCHMARK(BM_DroppedByLevel);

void BM_NoDestination(benchmark::State& state) {
    Logbook::removeAllDestinations();
    for (auto _ : state) {
        Logbook::verbose([] { return std::string(4096, 'x'); }, "/src/a.cpp", "f()", 7);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NoDestination);

} // namespace

BENCHMARK_MAIN();
