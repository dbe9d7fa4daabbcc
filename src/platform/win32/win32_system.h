#pragma once

#include "platform/system.h"

namespace telvo::platform::win32 {

class Win32System final : public System {
public:
    SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) override;
    SysResult<std::uint32_t> GetSystemWindowsDirectoryW(std::span<char16_t> buffer) override;
    SysResult<std::uint32_t> GetSystemDirectoryW(std::span<char16_t> buffer) override;
    SysResult<void> RegGetValueW(std::uint32_t predefined_key, const std::u16string& sub_key,
                                 const std::u16string& value_name, std::uint32_t flags, std::uint32_t& type,
                                 std::span<std::uint8_t> data, std::uint32_t& data_size) override;
    SysResult<std::u16string> SHGetKnownFolderPath(const KnownFolderId& folder, std::uint32_t flags) override;
};

}  // namespace telvo::platform::win32
