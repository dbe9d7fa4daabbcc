#include "protocol/request.h"

#include <cstddef>
#include <mutex>
#include <span>

#include "common/json.h"
#include "common/try.h"

namespace telvo::protocol {

namespace {

using platform::win32_error::kBrokenPipe;
using platform::win32_error::kInvalidHandle;

// One reader of standard input at a time.
std::mutex& StandardInputLock() {
    static std::mutex lock;
    return lock;
}

// Fills the whole buffer from standard input. A missing or invalid handle
// and a closed pipe read as end of input.
Result<void> ReadExact(platform::Platform& platform, std::span<std::byte> buffer) {
    TELVO_TRY_ASSIGN(const platform::Handle handle,
                     Lift("GetStdHandle(standard input)", platform.console.GetStdHandle(platform::StdStream::input)));
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        std::uint32_t read = 0;
        if (platform::IsUsable(handle)) {
            auto result = platform.kernel.ReadFile(handle, buffer.subspan(filled));
            if (result) {
                read = *result;
            } else if (!(result.error() == SysError::Win32(kBrokenPipe) ||
                         result.error() == SysError::Win32(kInvalidHandle))) {
                return FailSys("ReadFile(standard input)", result.error());
            }
        }
        if (read == 0) return Fail("failed to fill whole buffer");
        filled += read;
    }
    return {};
}

std::uint32_t DecodeLittleEndian(const std::byte (&prefix)[4]) {
    return static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
           static_cast<std::uint32_t>(prefix[2]) << 16 | static_cast<std::uint32_t>(prefix[3]) << 24;
}

Result<RunMode> ReadMode(const json::Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(auto text, json::ReadString(node, key));
    if (text == "read-only") return RunMode::read_only;
    if (text == "workspace-write") return RunMode::workspace_write;
    return Fail("unknown variant `" + text + "`, expected `read-only` or `workspace-write` " + node.Where());
}

Result<Request> DecodeRun(json::ObjectReader& reader) {
    Run run;
    TELVO_TRY_ASSIGN(run.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(run.command, reader.Field("command", &json::ReadString));
    TELVO_TRY_ASSIGN(run.cwd, reader.Field("cwd", &json::ReadString));
    TELVO_TRY_ASSIGN(run.root, reader.Field("root", &json::ReadString));
    TELVO_TRY_ASSIGN(run.mode, reader.Field("mode", &ReadMode));
    TELVO_TRY_ASSIGN(run.readable_roots, reader.Field("readableRoots", &json::ReadStringArray));
    TELVO_TRY_ASSIGN(run.private_paths, reader.Field("privatePaths", &json::ReadStringArray));
    TELVO_TRY_ASSIGN(run.network_access, reader.Field("networkAccess", &json::ReadBool));
    TELVO_TRY(reader.RefuseUnknown());
    return run;
}

Result<Request> DecodeRecover(json::ObjectReader& reader) {
    Recover recover;
    TELVO_TRY_ASSIGN(recover.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
    TELVO_TRY(reader.RefuseUnknown());
    return recover;
}

}  // namespace

Result<Request> ReadControllerRequest(platform::Platform& platform) {
    std::lock_guard lock(StandardInputLock());

    std::byte prefix[4];
    if (auto read = ReadExact(platform, prefix); !read) {
        return Fail(std::move(read.error()).Context("request is missing its 4-byte length prefix"));
    }
    const std::uint32_t length = DecodeLittleEndian(prefix);
    if (length == 0 || length > kMaxRequestLength) {
        return Fail("request length " + std::to_string(length) + " is outside the supported 1..=" +
                    std::to_string(kMaxRequestLength) + " range");
    }

    std::vector<std::byte> body(length);
    if (auto read = ReadExact(platform, body); !read) {
        return Fail(std::move(read.error()).Context("request frame ended before its declared length"));
    }

    auto request = DecodeRequest(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!request) return Fail(std::move(request.error()).Context("request is not valid protocol JSON"));

    const std::uint32_t version = ProtocolVersionOf(*request);
    if (version != kProtocolVersion) {
        return Fail("unsupported protocolVersion " + std::to_string(version) + "; expected " +
                    std::to_string(kProtocolVersion));
    }
    return request;
}

Result<Request> DecodeRequest(std::string_view body) {
    TELVO_TRY_ASSIGN(auto document, json::Document::Parse(body));
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(document.root(), "internally tagged enum Request"));
    TELVO_TRY_ASSIGN(auto tag, reader.Take("operation"));
    TELVO_TRY_ASSIGN(auto operation, json::ReadString(tag, "operation"));
    if (operation == "run") return DecodeRun(reader);
    if (operation == "recover") return DecodeRecover(reader);
    return Fail("unknown variant `" + operation + "`, expected `run` or `recover` " + tag.Where());
}

std::uint32_t ProtocolVersionOf(const Request& request) {
    return std::visit([](const auto& variant) { return variant.protocol_version; }, request);
}

}  // namespace telvo::protocol
