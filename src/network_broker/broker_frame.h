#pragma once

#include <cstdint>

#include "common/error.h"
#include "network_broker/broker_message.h"
#include "network_broker/pipe_transfer.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// A frame: a 4-byte little-endian length in 1..16384, then exactly that many
// bytes of UTF-8 JSON. One frame each way on a connection.
inline constexpr std::uint32_t kMaxFrameLength = 16384;

// Encodes the request and writes its frame (length, then text) before the
// deadline. Text that is empty or longer than a frame fails with
// "network broker reply exceeds frame bound" before anything is written.
Result<void> WriteRequestFrame(platform::Platform& platform, platform::Handle pipe, const BrokerRequest& request,
                               PipeDeadline deadline);

// Reads one reply frame before the deadline: a length of 0 or above 16384
// fails with "invalid network broker frame length" before any text is read;
// text that is not exactly one `BrokerReply` (only whitespace may follow it)
// fails with the context "invalid network broker JSON".
Result<BrokerReply> ReadReplyFrame(platform::Platform& platform, platform::Handle pipe, PipeDeadline deadline);

// The service's side: one request frame in, under the same rules, and one
// reply frame out.
Result<BrokerRequest> ReadRequestFrame(platform::Platform& platform, platform::Handle pipe, PipeDeadline deadline);
Result<void> WriteReplyFrame(platform::Platform& platform, platform::Handle pipe, const BrokerReply& reply,
                             PipeDeadline deadline);

}  // namespace telvo::network_broker
