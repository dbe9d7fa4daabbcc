#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "bench_tree.h"
#include "common/try.h"
#include "identity/profile.h"
#include "platform/sim/sim_host.h"
#include "windows/authority_access.h"
#include "winutil/local_path.h"
#include "windows/sandbox_access.h"
#include "winutil/walk_tree.h"

namespace {

using namespace telvo;

// \\?\C:\B as a writable authority of `objects` objects (the root included):
// top directories of 25 directories of up to 999 files each, depth 3. The
// first middle directory (B\t0\m0) is a private path, so the passes meet the
// protected ancestors and the skipped private objects too.
constexpr char kRoot[] = "\\\\?\\C:\\B";
void BuildTree(platform::sim::SimFiles& files, int objects) {
    files.AddVolume({});
    bench::BuildBenchTree(files, objects);
}

using Visit = std::function<Result<void>(const std::u16string&, platform::Handle)>;

struct PassCost {
    double seconds = 0;
    std::uint64_t calls = 0;
    std::uint64_t objects = 0;
};

PassCost RunPass(platform::sim::SimHost& host, bool write_dac, winutil::WalkPolicy policy, const Visit& visit,
                 benchmark::State& state) {
    const std::atomic<bool> cancel{false};
    PassCost cost;
    const std::uint64_t calls_before = host.faults().Total();
    const auto start = std::chrono::steady_clock::now();
    auto walked = winutil::WalkTree(host.platform(), kRoot, write_dac, cancel, policy,
                                    [&](const std::u16string& path, platform::Handle handle) {
                                        ++cost.objects;
                                        return visit(path, handle);
                                    });
    cost.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.calls = host.faults().Total() - calls_before;
    if (!walked) state.SkipWithError(walked.error().Display().c_str());
    return cost;
}

void Report(benchmark::State& state, const std::string& pass, const PassCost& cost) {
    const auto objects = static_cast<double>(cost.objects);
    state.counters[pass + "_us_per_object"] = cost.seconds * 1e6 / objects;
    state.counters[pass + "_calls_per_object"] = static_cast<double>(cost.calls) / objects;
}

void BM_DaclEnginePasses(benchmark::State& state) {
    const int objects = static_cast<int>(state.range(0));
    platform::sim::SimHost host;
    BuildTree(host.files(), objects);
    const auto sid = identity::DeriveProfileSid(host.platform().appcontainer,
                                                "Telvo.Sandbox.00112233445566778899aabbccddeeff")
                         .value();
    const windows::AuthorityAccess authority{winutil::LocalPath::FromText("\\\\?\\C:\\B").value(), true, {winutil::LocalPath::FromText("\\\\?\\C:\\B\\t0\\m0").value()}};
    auto& platform = host.platform();
    for (auto _ : state) {
        const auto walk = RunPass(host, false, winutil::WalkPolicy::prove, [](const std::u16string&, platform::Handle) {
            return Result<void>{};
        }, state);
        const auto grant = RunPass(host, true, winutil::WalkPolicy::prove, [&](const std::u16string& path, platform::Handle handle) {
            return windows::GrantAuthorityAccess(platform, path, handle, authority, sid);
        }, state);
        const auto verify = RunPass(host, false, winutil::WalkPolicy::prove, [&](const std::u16string& path, platform::Handle handle) {
            return windows::VerifyAuthorityGrant(platform, path, handle, authority, sid);
        }, state);
        // The proof with the child's token: what it may do with each object.
        platform::sim::SimToken child = platform::sim::SimToken::AppContainerFrom(
            host.security().ProcessToken(), sid, {}, true);
        child.type = platform::token_type::kImpersonation;
        child.impersonation_level = platform::impersonation_level::kIdentification;
        const platform::UniqueHandle token(platform.kernel,
                                           host.security().AddTokenHandle(child, platform::token_access::kQuery));
        host.handles().ResetPeak();
        const std::size_t handles_before = host.handles().OpenCount();
        const auto proof = RunPass(host, false, winutil::WalkPolicy::prove, [&](const std::u16string&, platform::Handle handle) {
            auto granted = windows::EffectiveAccess(platform, handle, token.get());
            if (!granted) return Result<void>(std::unexpected(granted.error()));
            return Result<void>{};
        }, state);
        state.counters["token_peak_extra_handles"] =
            static_cast<double>(host.handles().PeakCount() - handles_before);
        const auto revoke = RunPass(host, true, winutil::WalkPolicy::cleanup, [&](const std::u16string& path, platform::Handle handle) -> Result<void> {
            TELVO_TRY(windows::RevokeAuthorityObject(platform, {path, handle, true}, sid));
            return Result<void>{};
        }, state);
        const auto absent = RunPass(host, false, winutil::WalkPolicy::cleanup, [&](const std::u16string& path, platform::Handle handle) -> Result<void> {
            TELVO_TRY(windows::VerifySidAbsent(platform, {path, handle, false}, sid));
            return Result<void>{};
        }, state);
        Report(state, "walk", walk);
        Report(state, "grant", grant);
        Report(state, "verify", verify);
        Report(state, "token", proof);
        Report(state, "revoke", revoke);
        Report(state, "absent", absent);
        state.counters["objects"] = static_cast<double>(grant.objects);
    }
}
BENCHMARK(BM_DaclEnginePasses)->Arg(10000)->Arg(100000)->Arg(500000)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
