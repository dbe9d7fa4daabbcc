#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/sid_and_attributes.h"
#include "platform/types.h"
#include "winformat/sid.h"

namespace telvo::platform {

// What DeriveCapabilitySidsFromName hands back, copied. An entry is empty
// where Windows returned a null pointer in the array.
struct DerivedCapabilitySids {
    std::vector<std::optional<winformat::Sid>> group_sids;       // S-1-5-32-..., for service ACLs
    std::vector<std::optional<winformat::Sid>> capability_sids;  // S-1-15-3-...
};

// AppContainer profiles, capability SIDs and SID text (userenv, kernelbase, advapi32).
// SIDs and texts are returned as copies; the backend releases the system's
// buffers before it returns.
class AppContainer {
public:
    virtual ~AppContainer() = default;

    // HRESULT kind. The new profile's SID, or nothing when the call succeeded without one.
    virtual SysResult<std::optional<winformat::Sid>> CreateAppContainerProfile(
        const std::u16string& name, const std::u16string& display_name, const std::u16string& description,
        std::span<const SidAndAttributes> capabilities) = 0;
    // HRESULT kind.
    virtual SysResult<std::optional<winformat::Sid>> DeriveAppContainerSidFromAppContainerName(
        const std::u16string& name) = 0;
    // HRESULT kind.
    virtual SysResult<void> DeleteAppContainerProfile(const std::u16string& name) = 0;
    // HRESULT kind. Takes the AppContainer SID as text.
    virtual SysResult<std::optional<std::u16string>> GetAppContainerFolderPath(
        const std::u16string& sid_string) = 0;
    // Win32 kind.
    virtual SysResult<DerivedCapabilitySids> DeriveCapabilitySidsFromName(const std::u16string& name) = 0;
    // Win32 kind.
    virtual SysResult<std::u16string> ConvertSidToStringSidW(const winformat::Sid& sid) = 0;
};

// HRESULT values that the system branches on.
namespace hresult {
inline constexpr std::uint32_t kOk = 0x00000000;
inline constexpr std::uint32_t kFileNotFound = 0x80070002;     // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
inline constexpr std::uint32_t kInvalidArg = 0x80070057;       // E_INVALIDARG
inline constexpr std::uint32_t kAlreadyExists = 0x800700B7;    // HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)
inline constexpr std::uint32_t kElementNotFound = 0x80070490;  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
inline constexpr std::uint32_t kInvalidSid = 0x80070539;       // HRESULT_FROM_WIN32(ERROR_INVALID_SID)
}  // namespace hresult

}  // namespace telvo::platform
