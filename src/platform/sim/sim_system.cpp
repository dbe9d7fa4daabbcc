#include "platform/sim/sim_system.h"

#include <algorithm>

#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

namespace {
// BCRYPT_RNG_USE_ENTROPY_IN_BUFFER; accepted and ignored since Windows 8.
constexpr std::uint32_t kUseEntropyInBuffer = 0x00000001;
}  // namespace

SimSystem::SimSystem(SimHost& host) : host_(host), registry_(host.changes()) {
    registry_.Set(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", u"ProfilesDirectory",
                  registry_type::kExpandSz, RegistryStringBytes(u"%SystemDrive%\\Users\0"));
}

SysResult<void> SimSystem::BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) {
    TELVO_SIM_ENTER(host_, "BCryptGenRandom");
    // Without an algorithm handle the system-preferred RNG flag is required.
    // Assumed (unconfirmed): its absence is reported as an invalid handle and
    // any unknown flag bit as an invalid parameter.
    if ((flags & bcrypt_flag::kUseSystemPreferredRng) == 0) {
        return std::unexpected(SysError::NtStatus(ntstatus::kInvalidHandle));
    }
    if ((flags & ~(bcrypt_flag::kUseSystemPreferredRng | kUseEntropyInBuffer)) != 0) {
        return std::unexpected(SysError::NtStatus(ntstatus::kInvalidParameter));
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        if (i % 8 == 0) word = NextRandom();
        buffer[i] = static_cast<std::uint8_t>(word >> (8 * (i % 8)));
    }
    return {};
}

namespace {

// Windows' contract for both directory calls: the size with the terminator
// when the buffer is too small, the length written when it fits.
std::uint32_t CopyDirectory(const std::u16string& path, std::span<char16_t> buffer) {
    if (buffer.size() <= path.size()) return static_cast<std::uint32_t>(path.size() + 1);
    std::copy(path.begin(), path.end(), buffer.begin());
    buffer[path.size()] = u'\0';
    return static_cast<std::uint32_t>(path.size());
}

}  // namespace

SysResult<std::uint32_t> SimSystem::GetSystemWindowsDirectoryW(std::span<char16_t> buffer) {
    TELVO_SIM_ENTER(host_, "GetSystemWindowsDirectoryW");
    return CopyDirectory(windows_directory_, buffer);
}

SysResult<std::uint32_t> SimSystem::GetSystemDirectoryW(std::span<char16_t> buffer) {
    TELVO_SIM_ENTER(host_, "GetSystemDirectoryW");
    return CopyDirectory(system_directory_, buffer);
}

SysResult<void> SimSystem::RegGetValueW(std::uint32_t predefined_key, const std::u16string& sub_key,
                                        const std::u16string& value_name, std::uint32_t flags, std::uint32_t& type,
                                        std::span<std::uint8_t> data, std::uint32_t& data_size) {
    type = 0;
    data_size = 0;
    TELVO_SIM_ENTER(host_, "RegGetValueW");
    return registry_.Get(predefined_key, sub_key, value_name, flags, type, data, data_size,
                         host_.caller().Environment());
}

// SplitMix64.
std::uint64_t SimSystem::NextRandom() {
    std::uint64_t z = (random_state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

SysResult<std::u16string> SimSystem::SHGetKnownFolderPath(const KnownFolderId& folder, std::uint32_t) {
    TELVO_SIM_ENTER(host_, "SHGetKnownFolderPath");
    if (folder == known_folder::kLocalAppData) return local_app_data_;
    if (folder == known_folder::kProfile) return profile_;
    return std::unexpected(SysError::HResult(0x80070002));
}

}  // namespace telvo::platform::sim
