// Offline runs end to end against the offline-network service itself: the
// real client, the service's authentication, the filtering engine and the
// service's sweep. The command may run only behind its package's four
// filters, and once the run is over and its Job empty no filter is left.

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "identity/profile.h"
#include "network_broker/broker_call.h"
#include "offline_network/lease_record.h"
#include "offline_run_fixture.h"
#include "support/sweep_coverage.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;
using platform::sim::SimProcess;

constexpr char kCommand[] = "fetch";
constexpr char16_t kWorker[] = u"C:\\work\\ws\\worker.exe";

// What the run's processes saw of their filters as they began to run.
struct Observed {
    std::mutex mutex;
    std::set<std::uint32_t> started;
    std::vector<std::string> unprotected;
};

// A host with the service running on which kCommand starts a worker that
// runs until its Job ends it, then exits with 3; each process, as it begins
// to run, notes whether its package's four filters are there.
struct OfflineHost : OfflineRunTest {
    OfflineHost() {
        const auto note = [this](SimProcess& process) {
            const std::size_t filters = process.token().package ? LeaseFiltersOf(*process.token().package).size() : 0;
            std::lock_guard lock(observed.mutex);
            observed.started.insert(process.id());
            if (filters != 4) {
                observed.unprotected.push_back("process " + std::to_string(process.id()) + " ran with " +
                                               std::to_string(filters) + " filters");
            }
        };
        Script(kCommand, {step::HostCall{note}, step::StartChild{kWorker}, step::Exit{3}});
        host.processes().Script(kWorker, {step::HostCall{note}, step::Hang{}});
    }
    void TestBody() override {}

    // The run's processes that have begun to run and are still active.
    std::vector<std::shared_ptr<SimProcess>> Running() {
        std::lock_guard lock(observed.mutex);
        std::vector<std::shared_ptr<SimProcess>> running;
        for (const auto& process : host.processes().Created()) {
            if (process->Active() && observed.started.contains(process->id())) running.push_back(process);
        }
        return running;
    }

    Observed observed;
    using OfflineRunTest::host;
    using OfflineRunTest::LeaseFilters;
    using OfflineRunTest::LeaseFiltersOf;
    using OfflineRunTest::Leftovers;
    using OfflineRunTest::PowerLossAndBoot;
    using OfflineRunTest::Run;
    using OfflineRunTest::broker;
    using OfflineRunTest::ErrorOf;
    using OfflineRunTest::NextProcess;
};

TEST(OfflineRun, TheCommandRunsBetweenFourFiltersThatCarryItsLease) {
    OfflineHost test;
    std::vector<platform::WfpFilter> at_resume;
    std::vector<platform::WfpFilter> at_start;
    std::optional<Sid> package;
    test.host.faults().OnCall("ResumeThread", test.host.faults().Count("ResumeThread") + 1,
                              [&] { at_resume = test.LeaseFilters(); });
    test.host.processes().Script(u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"fetch\"",
                                 {step::HostCall{[&](SimProcess& process) {
                                      package = process.token().package;
                                      at_start = test.LeaseFiltersOf(*package);
                                  }},
                                  step::WriteOutput{"fetched\n"}, step::Exit{3}});
    const std::uint32_t helper = test.host.caller().id();

    auto exit_code = test.Run(kCommand);
    ASSERT_TRUE(exit_code) << exit_code.error().Display();
    EXPECT_EQ(*exit_code, 3);
    ASSERT_TRUE(package);
    EXPECT_EQ(at_resume, at_start);
    ASSERT_EQ(at_start.size(), 4u);

    // Each filter is of the lease's shape and carries the same record: the
    // run's profile, whose package it blocks, the user, the helper, this boot.
    std::set<std::size_t> slots;
    std::optional<offline_network::LeaseRecord> record;
    for (const auto& filter : at_start) {
        auto validated = offline_network::ValidateLeaseFilter(test.host.platform().appcontainer, filter);
        ASSERT_TRUE(validated) << validated.error().Display();
        slots.insert(validated->slot);
        if (record) {
            EXPECT_EQ(validated->record, *record);
        }
        record = validated->record;
    }
    EXPECT_EQ(slots, (std::set<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(identity::DeriveProfileSid(test.host.platform().appcontainer, record->profile_name).value(), *package);
    EXPECT_EQ(record->package_sid, package->ToString());
    EXPECT_EQ(record->owner_sid, kUser.ToString());
    EXPECT_EQ(record->caller_pid, helper);
    EXPECT_EQ(record->boot_id, offline_network::GuidText(test.host.wfp().BootIdentifier()));

    // After the run: no filter, no lease with the service, nothing else left.
    EXPECT_EQ(test.LeaseFilters(), std::vector<platform::WfpFilter>{});
    auto status = network_broker::CallBroker(test.host.platform(), network_broker::StatusRequest{});
    ASSERT_TRUE(status) << status.error().Display();
    EXPECT_EQ(std::get<network_broker::StatusResult>(status->result), (network_broker::StatusResult{0, 0}));
    EXPECT_EQ(test.Leftovers(), std::vector<std::string>{});
}

// The helper's own seam calls in one whole offline run, and after which of
// them it began each broker call (register, release).
struct RunPlan {
    std::uint64_t calls = 0;
    std::vector<std::uint64_t> broker_calls;
};
RunPlan PlanOfARun() {
    OfflineHost reference;
    RunPlan plan;
    reference.host.faults().CountOnly(reference.host.caller().id());
    const std::uint64_t before = reference.host.faults().Total();
    // Only a client asks for the pipe's server process.
    const std::uint64_t asked = reference.host.faults().Count("GetNamedPipeServerProcessId");
    for (std::uint64_t nth = 1; nth <= 2; ++nth) {
        reference.host.faults().OnCall("GetNamedPipeServerProcessId", asked + nth, [&] {
            plan.broker_calls.push_back(reference.host.faults().Total() - before);
        });
    }
    auto exit_code = reference.Run(kCommand);
    EXPECT_TRUE(exit_code && *exit_code == 3) << reference.ErrorOf(exit_code);
    EXPECT_EQ(reference.LeaseFilters(), std::vector<platform::WfpFilter>{});
    plan.calls = reference.host.faults().Total() - before;
    EXPECT_EQ(plan.broker_calls.size(), 2u);
    return plan;
}

// The points of the sweep: every one; under the sanitizers every one from
// shortly before each broker call to well after it (the lease, the resume,
// the release and the Job's end), and every kStride-th elsewhere.
constexpr std::uint64_t kStride = 10;
constexpr std::uint64_t kBefore = 15;
constexpr std::uint64_t kAfter = 45;
bool Sampled(const RunPlan& plan, std::uint64_t point) {
    if (::telvo::testing::kSweepEveryPoint) return true;
    for (const std::uint64_t call : plan.broker_calls) {
        if (point + kBefore >= call && point <= call + kAfter) return true;
    }
    return point % kStride == 0;
}

// What follows the helper's end, before the user's next run.
enum class Aftermath : std::uint8_t {
    // Nothing: the next run's recovery asks the service to recover the run.
    kNextRun,
    // The service sweeps first: the dead owner's lease goes with its Job.
    kServiceSweep,
    // The power goes; in the next boot the service starts again.
    kPowerLoss,
};

struct CutOutcome {
    bool crashed = false;
    bool retained = false;  // the next run kept the journal with a message
    std::string first_refusal;
};

// The helper cut off after its `after`-th seam call of an offline run, then
// the aftermath, then the user's next run, which must work and leave nothing.
CutOutcome CutAndRecover(std::uint64_t after, Aftermath aftermath) {
    CutOutcome outcome;
    OfflineHost run;
    run.host.faults().CountOnly(run.host.caller().id());
    run.host.faults().CrashAfter(after);
    (void)run.Run(kCommand);
    outcome.crashed = run.host.CallerIsDead();
    const std::string where = "helper cut after its call " + std::to_string(after) +
                              (outcome.crashed ? "" : " (past the run's end)") + ", aftermath " +
                              std::to_string(static_cast<int>(aftermath));
    // Whatever of the run may still execute does so behind its filters.
    for (const auto& process : run.Running()) {
        EXPECT_EQ(run.LeaseFiltersOf(*process->token().package).size(), 4u)
            << where << ": process " << process->id() << " runs without its filters";
    }
    run.NextProcess();

    if (aftermath == Aftermath::kServiceSweep) {
        // The service sweeps between one client and the next: after the
        // second status request it has swept once since the helper died.
        for (int request = 0; request < 2; ++request) {
            auto status = network_broker::CallBroker(run.host.platform(), network_broker::StatusRequest{});
            EXPECT_TRUE(status) << where << ": " << status.error().Display();
            if (status && request == 1) {
                EXPECT_EQ(std::get<network_broker::StatusResult>(status->result), (network_broker::StatusResult{0, 0}))
                    << where;
            }
        }
        EXPECT_EQ(run.Running().size(), 0u) << where << ": the sweep left the run's Job running";
        EXPECT_EQ(run.LeaseFilters().size(), 0u) << where << ": the sweep left the dead owner's filters";
    } else if (aftermath == Aftermath::kPowerLoss) {
        run.PowerLossAndBoot();
        EXPECT_EQ(run.LeaseFilters().size(), 0u) << where << ": the new boot's service kept an old boot's lease";
    }

    auto next = run.Run(kCommand);
    if (!next) {
        // Refused with a message, the journal kept: the user's run after
        // that, in a process of its own, must work.
        outcome.retained = true;
        outcome.first_refusal = where + ": " + run.ErrorOf(next);
        run.NextProcess();
        next = run.Run(kCommand);
    }
    EXPECT_TRUE(next && *next == 3) << where << ": " << run.ErrorOf(next) << "; the service's events: "
                                    << ::testing::PrintToString(run.broker.EventMessages());
    EXPECT_EQ(run.LeaseFilters().size(), 0u) << where;
    EXPECT_EQ(run.Leftovers(), std::vector<std::string>{}) << where;
    std::lock_guard lock(run.observed.mutex);
    EXPECT_EQ(run.observed.unprotected, std::vector<std::string>{}) << where;
    return outcome;
}

TEST(OfflineRun, AfterAPowerLossTheNextBootsServiceDropsTheOldLeaseAndTheNextRunWorks) {
    OfflineHost test;
    const std::uint32_t helper = test.host.caller().id();
    // As the command resumes, the service is killed and the helper dies at
    // its next call: nothing removes the lease in this boot.
    test.host.faults().OnCall("ResumeThread", test.host.faults().Count("ResumeThread") + 1, [&] {
        test.host.service().KillServiceProcess(network_broker::kServiceName);
        test.host.faults().CountOnly(helper);
        test.host.faults().CrashAfter(0);
    });
    (void)test.Run(kCommand);
    ASSERT_TRUE(test.host.CallerIsDead());
    const auto leases = test.broker.Leases();
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0].record.caller_pid, helper);

    test.PowerLossAndBoot();
    EXPECT_EQ(test.LeaseFilters(), std::vector<platform::WfpFilter>{});
    auto next = test.Run(kCommand);
    EXPECT_TRUE(next && *next == 3) << test.ErrorOf(next);
    EXPECT_EQ(test.LeaseFilters(), std::vector<platform::WfpFilter>{});
    EXPECT_EQ(test.Leftovers(), std::vector<std::string>{});
    std::lock_guard lock(test.observed.mutex);
    EXPECT_EQ(test.observed.unprotected, std::vector<std::string>{});
}

TEST(OfflineRun, AHelperCutOffAnywhereLeavesNothingUnprotectedAndTheNextRunWorks) {
    const auto started = std::chrono::steady_clock::now();
    const RunPlan plan = PlanOfARun();
    ASSERT_GT(plan.calls, 100u);
    std::size_t crashed = 0;
    std::size_t retained = 0;
    std::size_t points = 0;
    std::set<std::string> refusals;
    for (std::uint64_t after = 0; after < plan.calls; ++after) {
        if (!Sampled(plan, after)) continue;
        const auto aftermath = static_cast<Aftermath>(points % 3);
        const CutOutcome outcome = CutAndRecover(after, aftermath);
        ++points;
        crashed += outcome.crashed ? 1 : 0;
        retained += outcome.retained ? 1 : 0;
        if (outcome.retained) refusals.insert(outcome.first_refusal);
        if (::testing::Test::HasFailure()) return;
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ offline helper cut sweep: " << plan.calls << " helper calls, broker calls after "
              << ::testing::PrintToString(plan.broker_calls) << ", " << points << " points, " << crashed
              << " crashed the run, " << retained << " kept the journal once (" << ::testing::PrintToString(refusals)
              << "); " << seconds << " s ]\n";
}

}  // namespace
}  // namespace telvo::windows
