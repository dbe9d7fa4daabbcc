#include "network_broker/broker_requests.h"

#include <array>
#include <cstddef>
#include <variant>

#include "common/try.h"
#include "network_broker/broker_frame.h"
#include "network_broker/client_authentication.h"
#include "network_broker/lease_table.h"
#include "network_broker/pipe_transfer.h"

namespace telvo::network_broker {

namespace {

using namespace platform;

// The whole exchange, from the first byte read to the client's close.
constexpr std::uint64_t kExchangeDeadlineMs = 10000;
// What a client may still send after its request before it closes.
constexpr std::size_t kMaxTrailingBytes = kMaxFrameLength + 4;

// The request's answer: its client authenticated, then its operation under the state lock.
Result<BrokerResult> Answer(Platform& platform, BrokerState& state, Handle pipe, const BrokerRequest& request) {
    TELVO_TRY_ASSIGN(AuthenticatedClient client, AuthenticateClient(platform, pipe));
    const std::uint32_t version = std::visit([](const auto& operation) { return operation.protocol_version; }, request);
    if (version != kProtocolVersion) return Fail("unsupported broker protocol version");

    const PoisonableMutex::Guard guard(state.lock);
    if (guard.poisoned()) return Fail("broker admission lock poisoned");
    if (const auto* registering = std::get_if<RegisterRequest>(&request)) {
        return RegisterLease(platform, state, client, *registering);
    }
    if (const auto* releasing = std::get_if<ReleaseRequest>(&request)) {
        return ReleaseLease(platform, state, client, *releasing);
    }
    if (const auto* recovering = std::get_if<RecoverRequest>(&request)) {
        return RecoverLease(platform, state, client, *recovering);
    }
    return LeaseStatus(state);
}

// DisconnectNamedPipe discards what the client has not read, so the reply
// is safe only once the client has closed its end: a read that ends with a
// broken pipe. Bytes it still sends are passed over; the deadline bounds
// the wait, so a client that never reads cannot hold the service.
Result<void> AwaitClientClose(Platform& platform, Handle pipe, PipeDeadline deadline) {
    for (std::size_t trailing = 0; trailing <= kMaxTrailingBytes; ++trailing) {
        std::array<std::byte, 1> byte{};
        auto read = ReadPipe(platform, pipe, byte, deadline);
        if (!read) {
            if (read.error().IsWin32(win32_error::kBrokenPipe)) return {};
            return Fail(std::move(read.error()).Context("network broker client did not close after its reply"));
        }
    }
    return Fail("network broker client did not close after its reply");
}

}  // namespace

Result<void> ServeBrokerClient(Platform& platform, BrokerState& state, Handle pipe) {
    const PipeDeadline deadline = PipeDeadline::After(platform, kExchangeDeadlineMs);
    TELVO_TRY_ASSIGN(const BrokerRequest request, ReadRequestFrame(platform, pipe, deadline));
    Result<BrokerResult> result = Answer(platform, state, pipe, request);
    BrokerReply reply;
    reply.service_pid = platform.processes.GetCurrentProcessId();
    reply.result = result ? std::move(*result) : BrokerResult{ErrorResult{result.error().Display()}};
    TELVO_TRY(WriteReplyFrame(platform, pipe, reply, deadline));
    TELVO_TRY(AwaitClientClose(platform, pipe, deadline));
    if (!result) return Fail(std::move(result.error()));
    return {};
}

}  // namespace telvo::network_broker
