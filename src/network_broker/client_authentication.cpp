#include "network_broker/client_authentication.h"

#include "common/try.h"
#include "network_broker/client_token.h"

namespace telvo::network_broker {

namespace {

using namespace platform;

constexpr std::uint32_t kClientProcessAccess =
    process_access::kSynchronize | process_access::kQueryLimitedInformation | process_access::kDupHandle;

// While it lives the thread impersonates the pipe's client; it reverts on
// every path out, and the process ends at once when it cannot.
class Impersonation {
public:
    explicit Impersonation(Platform& platform) : platform_(platform) {}
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
    // Fail-fast does not return: nothing unwinds past it on Windows.
    ~Impersonation() noexcept(false) {
        if (!platform_.security.RevertToSelf()) platform_.pipes.RaiseFailFastException();
    }

private:
    Platform& platform_;
};

// The user of the token the client's identity lends the thread.
Result<std::string> ImpersonatedUser(Platform& platform, Handle pipe) {
    TELVO_TRY(Lift("ImpersonateNamedPipeClient", platform.pipes.ImpersonateNamedPipeClient(pipe)));
    const Impersonation impersonation(platform);
    TELVO_TRY_ASSIGN(const Handle opened, Lift("OpenThreadToken(pipe client)",
                                               platform.security.OpenThreadToken(token_access::kQuery, true)));
    const UniqueHandle token(platform.kernel, opened);
    return CheckClientToken(platform, token.get());
}

}  // namespace

Result<AuthenticatedClient> AuthenticateClient(Platform& platform, Handle pipe) {
    AuthenticatedClient client;
    auto process_id = platform.pipes.GetNamedPipeClientProcessId(pipe);
    if (!process_id) return FailSys("GetNamedPipeClientProcessId", process_id.error());
    if (*process_id == 0) return Fail(Error::Win32("GetNamedPipeClientProcessId", win32_error::kInvalidHandle));
    client.process_id = *process_id;
    TELVO_TRY_ASSIGN(const Handle process, Lift("OpenProcess(authenticated pipe client)",
                                                platform.processes.OpenProcess(kClientProcessAccess, *process_id)));
    client.process = UniqueHandle(platform.kernel, process);

    TELVO_TRY_ASSIGN(const std::string impersonated_user, ImpersonatedUser(platform, pipe));

    TELVO_TRY_ASSIGN(const Handle opened, Lift("OpenProcessToken(network broker)",
                                               platform.security.OpenProcessToken(process, token_access::kQuery)));
    const UniqueHandle token(platform.kernel, opened);
    TELVO_TRY_ASSIGN(client.user_sid, CheckClientToken(platform, token.get()));
    if (client.user_sid != impersonated_user) return Fail("pipe impersonation identity differs from its actual process");

    TELVO_TRY_ASSIGN(const ProcessTimes times,
                     Lift("GetProcessTimes(network broker)", platform.processes.GetProcessTimes(process)));
    if (times.exit != 0) return Fail("offline-network client already exited");
    client.creation = times.creation;
    return client;
}

}  // namespace telvo::network_broker
