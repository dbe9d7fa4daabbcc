// Whole runs with each seam call failed once in turn, and cut off after each
// seam call in turn; then recovery as the next process. Every point must end
// with the host as it was before the run, or with the run's journal kept and
// a message saying why, which a later recovery clears once the cause is gone.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "main/process_entry.h"
#include "network_broker/broker_test_host.h"
#include "run_fixture.h"
#include "support/frames.h"
#include "support/seam_faults.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;

constexpr char kCommand[] = "build";
constexpr char kCommandOutput[] = "write C:\\work\\ws\\out.txt: ok\n";

// One host, one run of kCommand, online or offline.
struct SweepHost : RunOrchestrationTest {
    explicit SweepHost(bool offline) {
        if (offline) {
            network_broker::testing::InstallOfflineService(host);
            network_broker::testing::ServeBrokerAlways(host);
            run.network_access = false;
        }
        Script(kCommand, {step::File{step::File::Action::write, u"C:\\work\\ws\\out.txt", "o"}, step::Exit{3}});
    }
    void TestBody() override {}

    // The whole process as a controller drives it: the framed request on
    // standard input (kept open), the command's output and one record on
    // standard output.
    std::uint32_t Entry() {
        const std::string body = std::string(R"({"operation":"run","protocolVersion":1,"command":")") + kCommand +
                                 R"(","cwd":"C:\\work\\ws","root":"C:\\work\\ws","mode":"workspace-write",)" +
                                 R"("readableRoots":[],"privatePaths":[],"networkAccess":)" +
                                 (run.network_access ? "true" : "false") + "}";
        host.stdin_pipe().SetBytes(telvo::testing::Frame(body));
        return app::ProcessEntry(host.platform());
    }
    // What the controller read: the command's output, then exactly one record.
    std::string Record(const std::string& where) {
        const std::string out = host.stdout_pipe().Bytes();
        const std::size_t record = out.find("{\"kind\":");
        EXPECT_NE(record, std::string::npos) << where << ": no record in " << out;
        if (record == std::string::npos) return "";
        EXPECT_EQ(out.find("{\"kind\":", record + 1), std::string::npos) << where << ": two records in " << out;
        EXPECT_TRUE(out.ends_with("}\n")) << where << ": " << out;
        return out.substr(record);
    }
    std::string CommandOutput() {
        const std::string out = host.stdout_pipe().Bytes();
        return out.substr(0, out.find("{\"kind\":"));
    }
    using RunOrchestrationTest::ErrorOf;
    using RunOrchestrationTest::host;
    using RunOrchestrationTest::Leftovers;
    using RunOrchestrationTest::Recover;
    using RunOrchestrationTest::Run;
};

// The seam calls of one whole run, in order, as (call, nth use from the
// start of the run).
std::vector<std::pair<std::string, std::uint64_t>> RunCalls(bool offline) {
    SweepHost reference(offline);
    auto& faults = reference.host.faults();
    const auto before = faults.Counts();
    faults.WatchAll();
    EXPECT_EQ(reference.Entry(), 0u) << reference.host.stdout_pipe().Bytes();
    EXPECT_EQ(reference.Leftovers(), std::vector<std::string>{});
    std::map<std::string, std::uint64_t> seen;
    std::vector<std::pair<std::string, std::uint64_t>> calls;
    for (const auto& call : faults.Log()) {
        const auto found = before.find(call.call);
        const std::uint64_t earlier = found == before.end() ? 0 : found->second;
        calls.emplace_back(call.call, earlier + ++seen[call.call]);
    }
    return calls;
}

// After the run: the next process recovers. Clean, or the journal is kept
// with a message, and the recovery after that (the cause gone) cleans.
// Whether the first recovery kept the journal.
bool ExpectRecoveredClean(SweepHost& run, const std::string& where) {
    run.host.faults().Clear();
    run.host.EndProcessAndStartNext();
    run.host.stdin_pipe().HoldOpen();
    auto first = run.Recover();
    const bool retained = !run.Leftovers().empty();
    if (retained) {
        EXPECT_FALSE(first) << where << ": leftovers " << ::testing::PrintToString(run.Leftovers())
                            << " but the recovery reported nothing";
        auto second = run.Recover();
        EXPECT_TRUE(second) << where << ": " << run.ErrorOf(second);
    }
    EXPECT_EQ(run.Leftovers(), std::vector<std::string>{}) << where << " (first recovery: " << run.ErrorOf(first)
                                                           << ")";
    return retained;
}

void FaultSweep(bool offline) {
    const auto calls = RunCalls(offline);
    ASSERT_GT(calls.size(), 100u);
    std::size_t planted = 0;
    std::size_t failed_runs = 0;
    std::size_t retained = 0;
    for (const auto& [call, nth] : calls) {
        if (telvo::testing::UnfailableCall(call)) continue;
        const std::string where = call + " #" + std::to_string(nth);
        SweepHost run(offline);
        run.host.faults().FailOn(call, nth, telvo::testing::WindowsFailureFor(call));
        const std::uint32_t exit_code = run.Entry();
        ++planted;
        if (exit_code == app::kExitRecordWriteFailed) {
            // The record itself could not be written: the only case without one.
            EXPECT_TRUE(call == "GetStdHandle" || call == "WriteFile") << where;
            ++failed_runs;
            if (ExpectRecoveredClean(run, where)) ++retained;
            continue;
        }
        const std::string record = run.Record(where);
        if (exit_code != 0) {
            ++failed_runs;
            EXPECT_TRUE(record.starts_with(R"({"kind":"error")")) << where << ": " << record;
            if (record.find("command not resumed") != std::string::npos) {
                EXPECT_EQ(run.CommandOutput(), "") << where << ": the command ran";
            }
        } else if (call == "ReadFile" && record.find("\"exitCode\":130") != std::string::npos) {
            // The monitor's read of standard input failed: it took the
            // controller for gone and ended the command's processes.
            ++failed_runs;
        } else {
            EXPECT_EQ(record, "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":3}\n") << where;
            EXPECT_EQ(run.CommandOutput(), kCommandOutput) << where;
        }
        if (ExpectRecoveredClean(run, where)) ++retained;
        if (::testing::Test::HasFailure()) return;
    }
    std::cout << "[ fault sweep " << (offline ? "offline" : "online") << ": " << calls.size() << " calls, "
              << planted << " failed in turn, " << failed_runs << " runs failed; " << planted - retained
              << " ended clean, " << retained << " kept the journal with a message and were cleaned by the next "
              << "recovery ]\n";
}

void CrashSweep(bool offline) {
    const std::size_t calls = RunCalls(offline).size();
    std::size_t retained = 0;
    std::size_t crashed = 0;
    for (std::size_t after = 0; after < calls; ++after) {
        const std::string where = "crash after call " + std::to_string(after);
        SweepHost run(offline);
        run.host.faults().CrashAfter(after);
        (void)run.Entry();
        // The monitor thread's read of standard input may come before or
        // after the run's last calls: the last point or so can lie past the
        // end of a run, which then simply ends.
        if (run.host.CallerIsDead()) {
            ++crashed;
            // The dead process's handles are closed; the next one recovers.
            run.host.StartNewProcess();
        } else {
            run.host.EndProcessAndStartNext();
        }
        run.host.stdin_pipe().HoldOpen();
        auto first = run.Recover();
        if (!run.Leftovers().empty()) {
            ++retained;
            ASSERT_FALSE(first) << where << ": leftovers " << ::testing::PrintToString(run.Leftovers());
            (void)run.Recover();
        }
        EXPECT_EQ(run.Leftovers(), std::vector<std::string>{}) << where << " (first recovery: " << run.ErrorOf(first)
                                                               << ")";
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GE(crashed + 2, calls);
    std::cout << "[ crash sweep " << (offline ? "offline" : "online") << ": " << calls << " crash points, "
              << crashed << " crashed the run; "
              << calls - retained << " recovered clean at once, " << retained
              << " kept the journal with a message and were cleaned by the next recovery ]\n";
}

TEST(RunSweep, EachCallFailingOnceEndsCleanOnline) { FaultSweep(false); }
TEST(RunSweep, EachCallFailingOnceEndsCleanOffline) { FaultSweep(true); }
TEST(RunSweep, ACrashAfterEachCallIsRecoveredCleanOnline) { CrashSweep(false); }
TEST(RunSweep, ACrashAfterEachCallIsRecoveredCleanOffline) { CrashSweep(true); }

}  // namespace
}  // namespace telvo::windows
