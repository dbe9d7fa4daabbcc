#pragma once

#include <cstdint>

#include "common/error.h"
#include "network_broker/broker_message.h"
#include "platform/platform.h"

namespace telvo::network_broker {

inline constexpr char16_t kBrokerPipeName[] = u"\\\\.\\pipe\\Telvo.OfflineNetwork.v1";
// Connecting, writing the request and reading the reply share this deadline.
inline constexpr std::uint64_t kBrokerCallDeadlineMs = 10000;
// CreateFileW flags of the pipe: overlapped, and the server may only
// identify the client, never act as it.
inline constexpr std::uint32_t kBrokerPipeFlags = 0x40000000 | 0x00100000 | 0x00010000;

// One broker call: one connection, one request, one reply. Before a byte is
// written it proves that the pipe is served by the protected running
// service: the protected service query (whose errors end the call as they
// are), the service image pinned open until the call ends, the pipe's server
// process read twice and its owner LocalSystem, the service queried again,
// and all four process ids and both image paths equal ("network pipe
// identity changed or differs from the protected running service").
// Connecting waits for a busy pipe within the call's 10-second deadline;
// another open failure is "offline-network broker pipe unavailable (Win32
// <n>); run explicit network preparation". The reply must carry protocol and
// policy version 1 and the pipe server's process id ("network broker reply
// identity/version mismatch"); a result of kind "error" becomes
// "offline-network broker: <message>". Otherwise the whole reply is returned.
Result<BrokerReply> CallBroker(platform::Platform& platform, const BrokerRequest& request);

}  // namespace telvo::network_broker
