#include "network_broker/broker_frame.h"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "common/try.h"
#include "winformat/little_endian.h"

namespace telvo::network_broker {

namespace {

// The same text for both directions.
constexpr char kFrameBoundMessage[] = "network broker reply exceeds frame bound";

Result<void> WriteFrame(platform::Platform& platform, platform::Handle pipe, const std::string& text,
                        PipeDeadline deadline) {
    if (text.empty() || text.size() > kMaxFrameLength) return Fail(kFrameBoundMessage);
    std::vector<std::uint8_t> prefix(4, 0);
    winformat::le::Write32(prefix, 0, static_cast<std::uint32_t>(text.size()));
    TELVO_TRY(WritePipe(platform, pipe, std::as_bytes(std::span(prefix)), deadline));
    return WritePipe(platform, pipe, std::as_bytes(std::span(text)), deadline);
}

Result<std::string> ReadFrame(platform::Platform& platform, platform::Handle pipe, PipeDeadline deadline) {
    std::vector<std::uint8_t> prefix(4, 0);
    TELVO_TRY(ReadPipe(platform, pipe, std::as_writable_bytes(std::span(prefix)), deadline));
    const std::uint32_t length = winformat::le::Read32(prefix, 0);
    if (length == 0 || length > kMaxFrameLength) return Fail("invalid network broker frame length");
    std::string text(length, '\0');
    TELVO_TRY(ReadPipe(platform, pipe, std::as_writable_bytes(std::span(text)), deadline));
    return text;
}

}  // namespace

Result<void> WriteRequestFrame(platform::Platform& platform, platform::Handle pipe, const BrokerRequest& request,
                               PipeDeadline deadline) {
    TELVO_TRY_ASSIGN(const std::string text, EncodeBrokerRequest(request));
    return WriteFrame(platform, pipe, text, deadline);
}

Result<BrokerReply> ReadReplyFrame(platform::Platform& platform, platform::Handle pipe, PipeDeadline deadline) {
    TELVO_TRY_ASSIGN(const std::string text, ReadFrame(platform, pipe, deadline));
    auto reply = DecodeBrokerReply(text);
    if (!reply) return Fail(std::move(reply.error()).Context("invalid network broker JSON"));
    return reply;
}

Result<BrokerRequest> ReadRequestFrame(platform::Platform& platform, platform::Handle pipe, PipeDeadline deadline) {
    TELVO_TRY_ASSIGN(const std::string text, ReadFrame(platform, pipe, deadline));
    auto request = DecodeBrokerRequest(text);
    if (!request) return Fail(std::move(request.error()).Context("invalid network broker JSON"));
    return request;
}

Result<void> WriteReplyFrame(platform::Platform& platform, platform::Handle pipe, const BrokerReply& reply,
                             PipeDeadline deadline) {
    TELVO_TRY_ASSIGN(const std::string text, EncodeBrokerReply(reply));
    return WriteFrame(platform, pipe, text, deadline);
}

}  // namespace telvo::network_broker
