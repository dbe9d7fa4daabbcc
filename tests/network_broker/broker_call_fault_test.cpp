// Each seam call of one successful broker call, failed once in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>

#include "network_broker/broker_call.h"
#include "network_broker/broker_test_host.h"
#include "support/seam_faults.h"

namespace telvo::network_broker {
namespace {

using namespace testing;

struct ServedHost {
    BrokerTestHost broker;
    std::shared_ptr<SimPipeServer> server = broker.ServeResult(StatusResult{1, 0});
};

TEST(BrokerCallFaults, EveryFailedCallEndsInOneErrorWithNothingLeftOpenOrWrittenAfterAFailedProof) {
    // The successful call, its calls in order and their counts.
    ServedHost baseline;
    const auto before = baseline.broker.host.faults().Counts();
    baseline.broker.host.faults().WatchAll();
    const std::uint64_t total = baseline.broker.host.faults().Total();
    ASSERT_TRUE(CallBroker(baseline.broker.platform(), StatusRequest{}));
    const std::uint64_t calls = baseline.broker.host.faults().Total() - total;
    const auto sequence = baseline.broker.host.faults().Log();
    ASSERT_EQ(sequence.size(), calls) << "a call of the broker call is not watched";
    std::cout << "[ seam calls per broker call: " << calls << " ]\n";

    std::map<std::string, std::uint64_t> seen;
    bool writing = false;
    std::size_t failed = 0;
    for (const auto& call : sequence) {
        const std::uint64_t use = ++seen[call.call];
        if (call.call == "WriteFile(overlapped)") writing = true;
        if (telvo::testing::UnfailableCall(call.call)) continue;
        ServedHost run;
        auto it = before.find(call.call);
        const std::uint64_t earlier = it == before.end() ? 0 : it->second;
        run.broker.host.faults().FailOn(call.call, earlier + use, telvo::testing::WindowsFailureFor(call.call));
        const std::size_t handles = run.broker.OpenHandles();
        auto result = CallBroker(run.broker.platform(), StatusRequest{});
        const std::string where = call.call + " #" + std::to_string(use);
        ASSERT_FALSE(result) << where;
        ++failed;
        EXPECT_TRUE(result.error().joined().empty()) << where;
        EXPECT_FALSE(result.error().message().empty()) << where;
        EXPECT_EQ(run.broker.OpenHandles(), handles) << where << ": " << result.error().Display();
        if (!writing) {
            EXPECT_EQ(run.server->received(), "") << where << ": " << result.error().Display();
        }
    }
    EXPECT_GT(failed, 30u);
}

}  // namespace
}  // namespace telvo::network_broker
