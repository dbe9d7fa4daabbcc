// One whole sandbox run (request to teardown) over a workspace of 10k, 100k
// and 499k objects on the simulated host: the seam calls each object costs,
// in total and by stage (set-up and grants; the child's identity, access
// and token proof; the command and the cleanup), the time each object
// costs, and the most handles the run held at once. (The largest
// stays below the walk's 500000-object limit with the private directories a
// writable run adds.)
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench_tree.h"
#include "identity/capability_set.h"
#include "platform/sim/sim_host.h"
#include "protocol/request.h"
#include "windows/run_orchestration.h"
#include "winformat/security_descriptor.h"

namespace {

using namespace telvo;
using winformat::Ace;

constexpr char16_t kCommandLine[] = u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"build\"";

// A standard user's machine, prepared by its administrator: the system drive
// lets the metadata capability read it, and cmd.exe runs "build".
void PrepareHost(platform::sim::SimHost& host, int objects) {
    auto& files = host.files();
    files.AddVolume({});
    const auto user = host.security().TokenUser();
    const auto capabilities = identity::CapabilitySet::Resolve(host.platform().appcontainer).value();
    constexpr std::uint8_t kInherit = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
    winformat::SecurityDescriptor root;
    root.owner = winformat::well_known::Administrators();
    root.group = winformat::well_known::LocalSystem();
    root.control = winformat::sd_control::kDaclProtected;
    root.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, {Ace::Allowed(0x001F01FF, winformat::well_known::Administrators(), kInherit),
                                                                Ace::Allowed(0x001F01FF, user, kInherit),
                                                                Ace::Allowed(0x00120088, capabilities.sids()[2])})
                                       .value());
    (void)files.SetSecurityDescriptor(u"C:\\", root.ToSelfRelative());
    for (const char16_t* dir : {u"C:\\Windows", u"C:\\Windows\\System32", u"C:\\Users", u"C:\\Users\\tester",
                                u"C:\\Users\\tester\\AppData", u"C:\\Users\\tester\\AppData\\Local"}) {
        (void)files.MakeDirectory(dir);
    }
    (void)files.MakeFile(u"C:\\Windows\\System32\\cmd.exe");
    bench::BuildBenchTree(files, objects);
    host.processes().Script(kCommandLine, {platform::sim::step::Exit{0}});
    host.stdin_pipe().HoldOpen();
}

void BM_WholeRun(benchmark::State& state) {
    const int objects = static_cast<int>(state.range(0));
    for (auto _ : state) {
        platform::sim::SimHost host;
        PrepareHost(host, objects);
        protocol::Run run;
        run.protocol_version = 1;
        run.command = "build";
        run.root = "C:\\B";
        run.cwd = "C:\\B";
        run.mode = protocol::RunMode::workspace_write;
        run.network_access = true;
        host.handles().ResetPeak();
        const std::size_t baseline = host.handles().OpenCount();
        auto& faults = host.faults();
        const std::uint64_t calls_before = faults.Total();
        // The child is created once the grants are made, and resumed once
        // its identity and access are proved; the rest is the command and
        // the cleanup (revoke and verify-absent).
        std::uint64_t created_at = 0;
        std::uint64_t resumed_at = 0;
        faults.OnCall("CreateProcessW", faults.Count("CreateProcessW") + 1, [&] { created_at = faults.Total(); });
        faults.OnCall("ResumeThread", faults.Count("ResumeThread") + 1, [&] { resumed_at = faults.Total(); });
        const auto start = std::chrono::steady_clock::now();
        auto exit_code = windows::ExecuteRequest(host.platform(), run);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!exit_code) state.SkipWithError(exit_code.error().Display().c_str());
        const auto per_object = static_cast<double>(objects);
        const auto per = [per_object](std::uint64_t calls) { return static_cast<double>(calls) / per_object; };
        state.counters["objects"] = per_object;
        state.counters["setup_grant_calls_per_object"] = per(created_at - calls_before);
        state.counters["verify_proof_calls_per_object"] = per(resumed_at - created_at);
        state.counters["command_cleanup_calls_per_object"] = per(faults.Total() - resumed_at);
        state.counters["calls_per_object"] = per(faults.Total() - calls_before);
        state.counters["us_per_object"] = seconds * 1e6 / per_object;
        state.counters["peak_extra_handles"] = static_cast<double>(host.handles().PeakCount() - baseline);
        host.stdin_pipe().CloseWriter();
        host.processes().JoinThreads();
    }
}

}  // namespace

BENCHMARK(BM_WholeRun)->Arg(10000)->Arg(100000)->Arg(499000)->Unit(benchmark::kSecond)->Iterations(1);

BENCHMARK_MAIN();
