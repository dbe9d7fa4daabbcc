#include "identity/profile.h"

#include "common/try.h"
#include "identity/profile_name.h"
#include "winformat/text.h"

namespace telvo::identity {

namespace {

// A profile call that may succeed without a SID: that counts as a failure.
Result<winformat::Sid> RequireSid(std::string_view operation, SysResult<std::optional<winformat::Sid>> result) {
    if (!result) return FailSys(operation, result.error());
    if (!*result) return Fail(std::string(operation) + " returned no SID");
    return std::move(**result);
}

bool MeansAlreadyDeleted(const SysError& error) {
    return error.kind == SysError::Kind::hresult &&
           (error.code == platform::hresult::kFileNotFound || error.code == platform::hresult::kElementNotFound);
}

}  // namespace

Result<winformat::Sid> CreateProfile(platform::AppContainer& appcontainer, std::string_view name,
                                   const CapabilitySet& capabilities) {
    TELVO_TRY(ValidateProfileName(name));
    const std::u16string wide = winformat::AsciiToUtf16(name);
    return RequireSid("CreateAppContainerProfile",
                      appcontainer.CreateAppContainerProfile(wide, wide, wide, capabilities.entries()));
}

Result<winformat::Sid> DeriveProfileSid(platform::AppContainer& appcontainer, std::string_view name) {
    TELVO_TRY(ValidateProfileName(name));
    return RequireSid("DeriveAppContainerSidFromAppContainerName",
                      appcontainer.DeriveAppContainerSidFromAppContainerName(winformat::AsciiToUtf16(name)));
}

Result<void> DeleteProfile(platform::AppContainer& appcontainer, std::string_view name) {
    TELVO_TRY(ValidateProfileName(name));
    auto deleted = appcontainer.DeleteAppContainerProfile(winformat::AsciiToUtf16(name));
    if (!deleted && !MeansAlreadyDeleted(deleted.error())) {
        return FailSys("DeleteAppContainerProfile", deleted.error());
    }
    return {};
}

}  // namespace telvo::identity
