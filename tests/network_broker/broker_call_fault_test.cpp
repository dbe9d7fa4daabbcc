// Each seam call of one successful broker call, failed once in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>

#include "network_broker/broker_call.h"
#include "network_broker/broker_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;

// Calls whose failure the caller cannot act on: a clock read cannot fail,
// and a failed close leaves nothing to undo (the guards drop it).
bool Unfailable(const std::string& call) {
    return call == "GetTickCount64" || call == "CloseHandle" || call == "CloseServiceHandle";
}

// An error Windows gives for the call.
SysError ErrorFor(const std::string& call) {
    if (call == "ReadFile(overlapped)" || call == "WriteFile(overlapped)" || call == "GetOverlappedResultEx") {
        return SysError::Win32(platform::win32_error::kBrokenPipe);
    }
    if (call == "CreateEventW") return SysError::Win32(platform::win32_error::kNotEnoughMemory);
    if (call == "RegGetValueW") return SysError::Win32(platform::win32_error::kFileNotFound);
    if (call == "GetNamedPipeServerProcessId") return SysError::Win32(platform::win32_error::kInvalidHandle);
    return SysError::Win32(platform::win32_error::kAccessDenied);
}

struct ServedHost {
    BrokerTestHost broker;
    std::shared_ptr<SimPipeServer> server = broker.ServeResult(StatusResult{1, 0});
};

TEST(BrokerCallFaults, EveryFailedCallEndsInOneErrorWithNothingLeftOpenOrWrittenAfterAFailedProof) {
    // The successful call, its calls in order and their counts.
    ServedHost baseline;
    const auto before = baseline.broker.host.faults().Counts();
    for (const auto& name : {"OpenSCManagerW", "OpenServiceW", "QueryServiceConfigW", "QueryServiceObjectSecurity",
                             "QueryServiceStatusEx", "RegGetValueW", "CreateFileW", "GetFinalPathNameByHandleW",
                             "GetFileInformationByHandle", "GetSecurityInfo", "WaitNamedPipeW",
                             "GetNamedPipeServerProcessId", "CreateEventW", "WriteFile(overlapped)",
                             "ReadFile(overlapped)", "GetOverlappedResultEx", "CancelIoEx", "CloseHandle",
                             "CloseServiceHandle", "GetTickCount64"}) {
        baseline.broker.host.faults().Watch(name);
    }
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
        if (Unfailable(call.call)) continue;
        ServedHost run;
        auto it = before.find(call.call);
        const std::uint64_t earlier = it == before.end() ? 0 : it->second;
        run.broker.host.faults().FailOn(call.call, earlier + use, ErrorFor(call.call));
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
