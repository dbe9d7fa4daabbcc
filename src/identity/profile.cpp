#include "identity/profile.h"

#include <algorithm>
#include <array>

#include "common/try.h"
#include "identity/identifier_text.h"
#include "winformat/text.h"
#include "winutil/create_directories.h"

namespace telvo::identity {

namespace {

// The SID a profile call returned. Success without a SID, or with bytes that
// are not one, is reported like a failure of the call, with its HRESULT.
Result<winformat::Sid> RequireSid(std::string_view operation, SysResult<platform::ReturnedSid> result) {
    TELVO_TRY_ASSIGN(const platform::ReturnedSid returned, Lift(operation, std::move(result)));
    auto sid = winformat::Sid::FromBytes(returned.sid);
    if (!sid) return Fail(Error::HResult(operation, returned.hresult));
    return std::move(*sid);
}

bool MeansAlreadyDeleted(const SysError& error) {
    return error.kind == SysError::Kind::hresult &&
           (error.code == platform::hresult::kFileNotFound || error.code == platform::hresult::kElementNotFound);
}

}  // namespace

Result<std::string> NewProfileName(platform::System& system) {
    std::array<std::uint8_t, kProfileNameDigits / 2> random{};
    TELVO_TRY(FillRandom(system, random));
    std::string name(kProfileNamePrefix);
    AppendLowerHex(name, random);
    return name;
}

Result<void> ValidateProfileName(std::string_view name) {
    if (name.size() != kProfileNameLength || !name.starts_with(kProfileNamePrefix) ||
        !std::ranges::all_of(name.substr(kProfileNamePrefix.size()), IsHexDigit)) {
        return Fail("invalid Telvo AppContainer profile name");
    }
    return {};
}

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
    if (!deleted && MeansAlreadyDeleted(deleted.error())) return {};
    return Lift("DeleteAppContainerProfile", std::move(deleted));
}

Result<std::string> EnsureAppContainerTemp(platform::Platform& platform, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(const std::string sid_text, SidToString(platform.appcontainer, sid));
    TELVO_TRY_ASSIGN(const platform::ReturnedPath folder,
                     Lift("GetAppContainerFolderPath",
                          platform.appcontainer.GetAppContainerFolderPath(winformat::AsciiToUtf16(sid_text))));
    if (folder.path.empty()) return Fail(Error::HResult("GetAppContainerFolderPath", folder.hresult));
    TELVO_TRY_ASSIGN(std::string folder_text, winformat::Utf16ToUtf8(folder.path));
    if (auto created = winutil::CreateDirectories(platform, folder_text + "\\Temp"); !created) {
        return Fail(std::move(created.error()).Context("could not create AppContainer temp under " + folder_text));
    }
    return folder_text;
}

}  // namespace telvo::identity
