#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "platform/sim/sim_host.h"
#include "winutil/walk_tree.h"

namespace {

using namespace telvo;

// \\?\C:\B: 20 top directories, each with 25 directories of 999 files:
// 1 + 20 + 500 + 499500 = 500021 objects, trimmed to exactly 500000 by
// leaving files out of the last directory. Depth 3.
constexpr int kTop = 20;
constexpr int kMiddle = 25;
constexpr int kFiles = 999;
constexpr int kDepth = 3;

void BuildTree(platform::sim::SimFiles& files) {
    files.AddVolume({});
    (void)files.MakeDirectory(u"\\\\?\\C:\\B");
    int objects = 1 + kTop + kTop * kMiddle;
    for (int t = 0; t < kTop; ++t) {
        const std::u16string top = u"\\\\?\\C:\\B\\t" + std::u16string(1, static_cast<char16_t>(u'a' + t));
        (void)files.MakeDirectory(top);
        for (int m = 0; m < kMiddle; ++m) {
            const std::u16string middle = top + u"\\m" + std::u16string(1, static_cast<char16_t>(u'a' + m));
            (void)files.MakeDirectory(middle);
            for (int f = 0; f < kFiles && objects < 500000; ++f, ++objects) {
                std::u16string name;
                for (int value = f; name.empty() || value > 0; value /= 10) {
                    name.insert(name.begin(), static_cast<char16_t>(u'0' + value % 10));
                }
                (void)files.MakeFile(middle + u"\\" + name);
            }
        }
    }
}

void BM_WalkTree500k(benchmark::State& state) {
    platform::sim::SimHost host;
    BuildTree(host.files());
    const std::atomic<bool> cancel{false};
    std::uint64_t objects = 0;
    std::uint64_t calls = 0;
    std::size_t peak_above_baseline = 0;
    for (auto _ : state) {
        const std::size_t baseline = host.handles().OpenCount();
        host.handles().ResetPeak();
        const std::uint64_t calls_before = host.faults().Total();
        std::uint64_t visited = 0;
        auto result = winutil::WalkTree(host.platform(), "\\\\?\\C:\\B", false, cancel, winutil::WalkPolicy::prove,
                                        [&visited](const std::u16string&, platform::Handle) {
                                            ++visited;
                                            return Result<void>{};
                                        });
        if (!result) {
            state.SkipWithError(result.error().Display().c_str());
            return;
        }
        objects += visited;
        calls += host.faults().Total() - calls_before;
        peak_above_baseline = std::max(peak_above_baseline, host.handles().PeakCount() - baseline);
    }
    state.counters["objects_per_second"] =
        benchmark::Counter(static_cast<double>(objects), benchmark::Counter::kIsRate);
    state.counters["seam_calls_per_object"] = static_cast<double>(calls) / static_cast<double>(objects);
    state.counters["peak_open_handles"] = static_cast<double>(peak_above_baseline);
    state.counters["tree_depth"] = kDepth;
}
BENCHMARK(BM_WalkTree500k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
