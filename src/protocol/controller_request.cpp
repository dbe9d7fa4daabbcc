#include "protocol/controller_request.h"

#include <mutex>
#include <vector>

#include "common/try.h"
#include "protocol/std_streams.h"

namespace telvo::protocol {

namespace {

std::uint32_t DecodeLittleEndian(const std::byte (&prefix)[4]) {
    return static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
           static_cast<std::uint32_t>(prefix[2]) << 16 | static_cast<std::uint32_t>(prefix[3]) << 24;
}

}  // namespace

Result<Request> ReadControllerRequest(platform::Platform& platform) {
    std::lock_guard lock(StandardInputLock());
    StandardInput input(platform);

    std::byte prefix[4];
    if (auto read = input.ReadExact(prefix); !read) {
        return Fail(std::move(read.error()).Context("request is missing its 4-byte length prefix"));
    }
    const std::uint32_t length = DecodeLittleEndian(prefix);
    if (length == 0 || length > kMaxRequestLength) {
        return Fail("request length " + std::to_string(length) + " is outside the supported 1..=" +
                    std::to_string(kMaxRequestLength) + " range");
    }

    std::vector<std::byte> body(length);
    if (auto read = input.ReadExact(body); !read) {
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

}  // namespace telvo::protocol
