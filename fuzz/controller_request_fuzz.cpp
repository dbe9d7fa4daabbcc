// Feeds arbitrary bytes to the controller's standard input: the frame reader
// and the request decoder must answer with a request or an error, never crash,
// and never read past the frame.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/sim_host.h"
#include "protocol/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    telvo::platform::sim::SimHost host;
    host.stdin_pipe().SetBytes(std::string(reinterpret_cast<const char*>(data), size));
    auto request = telvo::protocol::ReadControllerRequest(host.platform());
    if (size >= 4) {
        const std::uint32_t length = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        const std::size_t frame = 4 + static_cast<std::size_t>(length);
        if (host.stdin_pipe().Consumed() > frame) __builtin_trap();
    }
    if (request && telvo::protocol::ProtocolVersionOf(*request) != 1) __builtin_trap();
    return 0;
}
