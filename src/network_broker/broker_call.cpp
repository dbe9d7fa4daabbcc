#include "network_broker/broker_call.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/try.h"
#include "network_broker/broker_frame.h"
#include "network_broker/pipe_transfer.h"
#include "network_broker/protected_service.h"
#include "platform/unique_handle.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"

namespace telvo::network_broker {

namespace {

using namespace platform;

constexpr std::uint64_t kLongestFiniteWaitMs = 0xFFFFFFFE;
constexpr char kIdentityChanged[] = "network pipe identity changed or differs from the protected running service";

static_assert(kBrokerPipeFlags == (file_flag::kOverlapped | security_qos::kSqosPresent |
                                   security_qos::kIdentification));

Result<UniqueHandle> ConnectPipe(Platform& platform, PipeDeadline deadline) {
    for (;;) {
        auto opened = platform.files.CreateFileW(kBrokerPipeName, kPipeReadWriteNoAppend, 0,
                                                 creation_disposition::kOpenExisting, kBrokerPipeFlags);
        if (opened) {
            // A null handle is no handle; Windows sets no error for it that
            // the seam could carry, so it is named as the invalid handle it is.
            if (*opened == kNullHandle) return Fail(Error::Win32("open network broker pipe", win32_error::kInvalidHandle));
            return UniqueHandle(platform.kernel, *opened);
        }
        if (opened.error() != SysError::Win32(win32_error::kPipeBusy)) {
            return Fail("offline-network broker pipe unavailable (Win32 " + std::to_string(opened.error().code) +
                        "); run explicit network preparation");
        }
        const std::uint64_t left = deadline.Left(platform);
        if (left == 0) return Fail("offline-network pipe deadline expired");
        TELVO_TRY(Lift("WaitNamedPipeW(network broker)",
                       platform.pipes.WaitNamedPipeW(kBrokerPipeName,
                                                     static_cast<std::uint32_t>(std::min(left, kLongestFiniteWaitMs)))));
    }
}

Result<std::uint32_t> ServerProcessId(Platform& platform, Handle pipe) {
    auto id = platform.pipes.GetNamedPipeServerProcessId(pipe);
    if (!id) return FailSys("GetNamedPipeServerProcessId(network broker)", id.error());
    // A zero id with success carries no error of its own.
    if (*id == 0) return Fail(Error::Win32("GetNamedPipeServerProcessId(network broker)", win32_error::kInvalidHandle));
    return *id;
}

Result<void> RequireLocalSystemOwner(Platform& platform, Handle pipe) {
    auto descriptor =
        platform.security.GetSecurityInfo(pipe, se_object_type::kKernelObject, security_information::kOwner);
    if (!descriptor) {
        return Fail("GetSecurityInfo(network pipe owner) failed with Win32 " + std::to_string(descriptor.error().code));
    }
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(*descriptor);
    if (!parsed || !parsed->owner) return Fail("network pipe has no valid owner descriptor");
    if (parsed->owner->ToString() != "S-1-5-18") return Fail("network pipe is not owned by LocalSystem");
    return {};
}

Result<BrokerReply> CheckReply(BrokerReply reply, std::uint32_t server_process_id) {
    if (reply.protocol_version != kProtocolVersion || reply.policy_version != kPolicyVersion ||
        reply.service_pid != server_process_id) {
        return Fail("network broker reply identity/version mismatch");
    }
    if (const auto* error = std::get_if<ErrorResult>(&reply.result)) {
        return Fail("offline-network broker: " + error->message);
    }
    return reply;
}

}  // namespace

Result<BrokerReply> CallBroker(Platform& platform, const BrokerRequest& request) {
    TELVO_TRY_ASSIGN(const ProtectedService first, QueryProtectedService(platform));
    TELVO_TRY_ASSIGN(const std::string image_text, winformat::Utf16ToUtf8(first.image_path));
    TELVO_TRY_ASSIGN(const std::string image_extended, winutil::ToExtendedPath(image_text));
    // Held until the call ends, so that the image cannot be replaced meanwhile.
    TELVO_TRY_ASSIGN(const UniqueHandle pinned_image, winutil::OpenRegularFileForRead(platform, image_extended));

    const PipeDeadline deadline = PipeDeadline::After(platform, kBrokerCallDeadlineMs);
    TELVO_TRY_ASSIGN(const UniqueHandle pipe, ConnectPipe(platform, deadline));
    TELVO_TRY_ASSIGN(const std::uint32_t first_server, ServerProcessId(platform, pipe.get()));
    TELVO_TRY(RequireLocalSystemOwner(platform, pipe.get()));
    TELVO_TRY_ASSIGN(const ProtectedService second, QueryProtectedService(platform));
    TELVO_TRY_ASSIGN(const std::uint32_t second_server, ServerProcessId(platform, pipe.get()));
    if (first_server != first.process_id || second_server != first_server || second.process_id != first_server ||
        !winformat::EqualIgnoringCase(first.image_path, second.image_path)) {
        return Fail(kIdentityChanged);
    }

    TELVO_TRY(WriteRequestFrame(platform, pipe.get(), request, deadline));
    TELVO_TRY_ASSIGN(BrokerReply reply, ReadReplyFrame(platform, pipe.get(), deadline));
    return CheckReply(std::move(reply), second_server);
}

}  // namespace telvo::network_broker
