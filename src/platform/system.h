#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Machine facts and services: random numbers, known folders, registry values, system directories.
// A KNOWNFOLDERID as its 16 bytes are laid out in memory.
using KnownFolderId = std::array<std::uint8_t, 16>;

namespace known_folder {
// FOLDERID_LocalAppData {F1B32785-6FBA-4FCF-9D55-7B8E7F157091}
inline constexpr KnownFolderId kLocalAppData = {0x85, 0x27, 0xB3, 0xF1, 0xBA, 0x6F, 0xCF, 0x4F,
                                                0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91};
// FOLDERID_Profile {5E6C858F-0E22-4760-9AFE-EA3317B67173}: the account's home.
inline constexpr KnownFolderId kProfile = {0x8F, 0x85, 0x6C, 0x5E, 0x22, 0x0E, 0x60, 0x47,
                                           0x9A, 0xFE, 0xEA, 0x33, 0x17, 0xB6, 0x71, 0x73};
}  // namespace known_folder

class System {
public:
    virtual ~System() = default;

    // BCryptGenRandom without an algorithm handle: fills the buffer. NTSTATUS kind.
    virtual SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) = 0;

    // GetSystemWindowsDirectoryW: when `buffer` (UTF-16 units, terminator
    // included) is too small, the size needed with the terminator; when it
    // fits, the length written without it.
    virtual SysResult<std::uint32_t> GetSystemWindowsDirectoryW(std::span<char16_t> buffer) = 0;
    // GetSystemDirectoryW, with the same size contract; an empty `buffer`
    // passes a null pointer and asks for the size.
    virtual SysResult<std::uint32_t> GetSystemDirectoryW(std::span<char16_t> buffer) = 0;

    // RegGetValueW(predefined key, sub key, value name, flags, &type, data,
    // &size); the LSTATUS is a Win32 error. A `data` span without a pointer
    // is the size query (pvData NULL); otherwise its size is the buffer size.
    // `type` and `data_size` are set as Windows sets them, also when the call
    // fails with ERROR_MORE_DATA.
    virtual SysResult<void> RegGetValueW(std::uint32_t predefined_key, const std::u16string& sub_key,
                                         const std::u16string& value_name, std::uint32_t flags,
                                         std::uint32_t& type, std::span<std::uint8_t> data,
                                         std::uint32_t& data_size) = 0;

    // SHGetKnownFolderPath(folder id, flags, no token): the folder's path.
    // HRESULT kind; the backend frees Windows' buffer with CoTaskMemFree.
    virtual SysResult<std::u16string> SHGetKnownFolderPath(const KnownFolderId& folder, std::uint32_t flags) = 0;
};

// The predefined key as the low 32 bits of its HKEY value.
namespace registry_key {
inline constexpr std::uint32_t kLocalMachine = 0x80000002;  // HKEY_LOCAL_MACHINE
}  // namespace registry_key

namespace registry_flag {
inline constexpr std::uint32_t kRtRegSz = 0x00000002;            // RRF_RT_REG_SZ
inline constexpr std::uint32_t kRtRegExpandSz = 0x00000004;      // RRF_RT_REG_EXPAND_SZ
inline constexpr std::uint32_t kRtAny = 0x0000FFFF;              // RRF_RT_ANY
inline constexpr std::uint32_t kSubkeyWow6464Key = 0x00010000;   // RRF_SUBKEY_WOW6464KEY
inline constexpr std::uint32_t kSubkeyWow6432Key = 0x00020000;   // RRF_SUBKEY_WOW6432KEY
inline constexpr std::uint32_t kNoExpand = 0x10000000;           // RRF_NOEXPAND
inline constexpr std::uint32_t kZeroOnFailure = 0x20000000;      // RRF_ZEROONFAILURE
}  // namespace registry_flag

namespace registry_type {
inline constexpr std::uint32_t kNone = 0;       // REG_NONE
inline constexpr std::uint32_t kSz = 1;         // REG_SZ
inline constexpr std::uint32_t kExpandSz = 2;   // REG_EXPAND_SZ
inline constexpr std::uint32_t kBinary = 3;     // REG_BINARY
inline constexpr std::uint32_t kDword = 4;      // REG_DWORD
}  // namespace registry_type

namespace bcrypt_flag {
inline constexpr std::uint32_t kUseSystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
}  // namespace bcrypt_flag

namespace ntstatus {
inline constexpr std::uint32_t kInvalidHandle = 0xC0000008;     // STATUS_INVALID_HANDLE
inline constexpr std::uint32_t kInvalidParameter = 0xC000000D;  // STATUS_INVALID_PARAMETER
}  // namespace ntstatus

}  // namespace telvo::platform
