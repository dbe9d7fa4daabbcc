// The service's request handler on any bytes a client may write to the
// broker pipe before closing its end: it ends in one result or one error,
// never impersonating afterwards, and no bytes make it install a lease (the
// client has no sandbox Job or child to prove).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"
#include "network_broker/broker_call.h"
#include "network_broker/broker_requests.h"
#include "network_broker/broker_state.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/sddl.h"

namespace {

using namespace telvo;
using namespace telvo::network_broker;

void ServeBytes(std::string_view bytes) {
    platform::sim::SimHost host;
    platform::Platform& platform = host.platform();
    platform::sim::SimHelperProcess& client = host.StartHelperProcess();
    host.security().SetProcessToken(platform::sim::SimToken::LocalSystem());
    auto descriptor = winformat::ParseSddl("O:SYG:SYD:P(A;;GA;;;SY)(A;;0x0012019b;;;AU)S:(ML;;NW;;;ME)");
    if (!descriptor) __builtin_trap();
    auto created = platform.pipes.CreateNamedPipeW(kBrokerPipeName, 0x40080003, 0x8, 1, 16388, 16388, 0,
                                                   descriptor->ToSelfRelative());
    if (!created) __builtin_trap();
    const platform::UniqueHandle pipe(platform.kernel, *created);
    {
        const auto binding = host.Bind(client);
        auto opened = platform.files.CreateFileW(kBrokerPipeName, platform::kPipeReadWriteNoAppend, 0, 3,
                                                 kBrokerPipeFlags);
        if (!opened) __builtin_trap();
        const platform::UniqueHandle end(platform.kernel, *opened);
        const platform::UniqueHandle event(platform.kernel, platform.pipes.CreateEventW(true, false).value());
        platform::Overlapped overlapped{};
        overlapped.event = event.get();
        if (!bytes.empty()) {
            if (!platform.pipes.WriteFile(end.get(), std::as_bytes(std::span(bytes)), overlapped)) __builtin_trap();
            if (!platform.pipes.GetOverlappedResultEx(end.get(), overlapped, 0, false)) __builtin_trap();
        }
    }
    BrokerState state;
    state.accepting = true;
    auto served = ServeBrokerClient(platform, state, pipe.get());
    if (!served) {
        const std::string message = served.error().Display();
        if (message.empty() || json::MessageText(message) != message) __builtin_trap();
    }
    if (host.security().ThreadImpersonates() || !state.active.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ServeBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
