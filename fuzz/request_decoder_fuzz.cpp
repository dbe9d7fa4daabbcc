// The request body decoder on its own: any byte string gives a request or an
// error whose message is valid UTF-8 (it reaches the terminal record); a
// decoded request re-encodes to text that decodes to the same request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"
#include "protocol/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    auto request = telvo::protocol::DecodeRequest(body);
    if (!request) {
        const std::string message = request.error().Display();
        if (message.empty() || telvo::json::MessageText(message) != message) __builtin_trap();
        return 0;
    }
    if (const auto* run = std::get_if<telvo::protocol::Run>(&*request)) {
        telvo::json::Json object = telvo::json::Json::object();
        object["networkAccess"] = run->network_access;
        object["operation"] = "run";
        object["protocolVersion"] = run->protocol_version;
        object["command"] = run->command;
        object["cwd"] = run->cwd;
        object["root"] = run->root;
        object["mode"] = run->mode == telvo::protocol::RunMode::read_only ? "read-only" : "workspace-write";
        object["readableRoots"] = run->readable_roots;
        object["privatePaths"] = run->private_paths;
        auto text = telvo::json::WriteCompact(object);
        if (!text) __builtin_trap();
        auto again = telvo::protocol::DecodeRequest(*text);
        if (!again) __builtin_trap();
        const auto& second = std::get<telvo::protocol::Run>(*again);
        if (second.command != run->command || second.private_paths != run->private_paths ||
            second.readable_roots != run->readable_roots || second.cwd != run->cwd) {
            __builtin_trap();
        }
    }
    return 0;
}
