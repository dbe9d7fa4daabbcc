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

// What a profile call that succeeded handed back: its HRESULT (S_OK or
// another success code) and the SID's bytes, copied as they came and not
// checked. Empty where Windows returned no SID; a SID that IsValidSid refuses
// cannot be measured, so only its 8-byte header is copied.
struct ReturnedSid {
    std::uint32_t hresult = 0;
    std::vector<std::uint8_t> sid;
};

// What GetAppContainerFolderPath handed back when it succeeded: its HRESULT
// and the path (empty where Windows returned no path or an empty one).
struct ReturnedPath {
    std::uint32_t hresult = 0;
    std::u16string path;
};

// AppContainer profiles, capability SIDs and SID text (userenv, kernelbase, advapi32).
// SIDs and texts are returned as copies; the backend releases the system's
// buffers before it returns. What a successful call handed back is passed on
// as it came: the caller decides whether it is usable.
class AppContainer {
public:
    virtual ~AppContainer() = default;

    // HRESULT kind.
    virtual SysResult<ReturnedSid> CreateAppContainerProfile(const std::u16string& name,
                                                             const std::u16string& display_name,
                                                             const std::u16string& description,
                                                             std::span<const SidAndAttributes> capabilities) = 0;
    // HRESULT kind.
    virtual SysResult<ReturnedSid> DeriveAppContainerSidFromAppContainerName(const std::u16string& name) = 0;
    // HRESULT kind.
    virtual SysResult<void> DeleteAppContainerProfile(const std::u16string& name) = 0;
    // HRESULT kind. Takes the AppContainer SID as text.
    virtual SysResult<ReturnedPath> GetAppContainerFolderPath(const std::u16string& sid_string) = 0;
    // Win32 kind.
    virtual SysResult<DerivedCapabilitySids> DeriveCapabilitySidsFromName(const std::u16string& name) = 0;
    // Win32 kind.
    virtual SysResult<std::u16string> ConvertSidToStringSidW(const winformat::Sid& sid) = 0;
};

// HRESULT values that the system branches on.
namespace hresult {
inline constexpr std::uint32_t kOk = 0x00000000;
inline constexpr std::uint32_t kFalse = 0x00000001;            // S_FALSE, a success code
inline constexpr std::uint32_t kFileNotFound = 0x80070002;     // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
inline constexpr std::uint32_t kInvalidArg = 0x80070057;       // E_INVALIDARG
inline constexpr std::uint32_t kAlreadyExists = 0x800700B7;    // HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)
inline constexpr std::uint32_t kElementNotFound = 0x80070490;  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
// HRESULT_FROM_WIN32 of a Win32 error.
constexpr std::uint32_t FromWin32(std::uint32_t error) { return 0x80070000 | (error & 0xFFFF); }
}  // namespace hresult

}  // namespace telvo::platform
