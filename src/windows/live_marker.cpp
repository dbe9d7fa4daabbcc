#include "windows/live_marker.h"

#include <vector>

#include "common/try.h"
#include "identity/profile.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "windows/current_user_sid.h"

namespace telvo::windows {

namespace {

using namespace platform;

constexpr std::string_view kGlobalNamespace = "Global\\";
constexpr std::uint32_t kSynchronize = 0x00100000;

Result<winformat::Sid> ProcessUser(Platform& platform) {
    auto user = ReadProcessTokenUser(platform);
    if (user) return std::move(*user);
    const TokenUserFailure& failure = user.error();
    switch (failure.step) {
        case TokenUserFailure::Step::open:
            return FailSys("OpenProcessToken(live marker)", failure.sys);
        case TokenUserFailure::Step::size:
            return Fail("invalid live-marker account SID query (Win32 error " + std::to_string(failure.sys.code) + ")");
        case TokenUserFailure::Step::query:
            return FailSys("GetTokenInformation(live-marker account)", failure.sys);
        case TokenUserFailure::Step::changed:
            return Fail("live-marker account SID changed size repeatedly");
        case TokenUserFailure::Step::sid:
            break;
    }
    return Fail("invalid live-marker account SID");
}

// Owner the user; a DACL that lets the user (and so only the same account)
// open the marker to wait on it, and nothing else.
Result<std::vector<std::uint8_t>> MarkerSecurity(const winformat::Sid& user) {
    auto dacl = winformat::Acl::Fitted(winformat::acl_revision::kRevision, {winformat::Ace::Allowed(kSynchronize, user)});
    if (!dacl) return FailSys("initialize live-marker security", dacl.error());
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = user;
    descriptor.dacl = winformat::AclSlot(std::move(*dacl));
    return descriptor.ToSelfRelative();
}

}  // namespace

Result<UniqueHandle> CreateLiveMarker(Platform& platform, std::string_view mutex_name) {
    if (!mutex_name.starts_with(kGlobalNamespace)) return Fail("live marker must use the global namespace");
    TELVO_TRY(identity::ValidateProfileName(mutex_name.substr(kGlobalNamespace.size())));
    TELVO_TRY_ASSIGN(std::u16string name, winformat::Utf8ToUtf16(mutex_name));
    TELVO_TRY_ASSIGN(winformat::Sid user, ProcessUser(platform));
    TELVO_TRY_ASSIGN(auto descriptor, MarkerSecurity(user));

    auto created = platform.sync.CreateMutexW(descriptor, false, false, name);
    if (!created) return FailSys("CreateMutexW(live marker)", created.error());
    UniqueHandle marker(platform.kernel, created->handle);
    if (created->already_existed) return Fail("live-marker identity collision; refusing an existing mutex");
    return marker;
}

Result<Liveness> ProbeLiveMarker(Platform& platform, std::string_view mutex_name) {
    TELVO_TRY_ASSIGN(std::u16string name, winformat::Utf8ToUtf16(mutex_name));
    auto opened = platform.sync.OpenMutexW(kSynchronize, false, name);
    if (!opened) {
        if (opened.error() == SysError::Win32(win32_error::kFileNotFound)) return Liveness::dead;
        return Fail("could not establish sandbox liveness (Win32 error " + std::to_string(opened.error().code) +
                    "); recovery journal retained");
    }
    UniqueHandle marker(platform.kernel, *opened);
    if (!marker) return Fail(Error::Win32("OpenMutexW(live marker)", win32_error::kInvalidHandle));
    return Liveness::alive;
}

}  // namespace telvo::windows
