#pragma once

#include "platform/appcontainer.h"

namespace telvo::platform::win32 {

class Win32AppContainer final : public AppContainer {
public:
    SysResult<ReturnedSid> CreateAppContainerProfile(const std::u16string& name, const std::u16string& display_name,
                                                     const std::u16string& description,
                                                     std::span<const SidAndAttributes> capabilities) override;
    SysResult<ReturnedSid> DeriveAppContainerSidFromAppContainerName(const std::u16string& name) override;
    SysResult<void> DeleteAppContainerProfile(const std::u16string& name) override;
    SysResult<ReturnedPath> GetAppContainerFolderPath(const std::u16string& sid_string) override;
    SysResult<DerivedCapabilitySids> DeriveCapabilitySidsFromName(const std::u16string& name) override;
    SysResult<std::u16string> ConvertSidToStringSidW(const winformat::Sid& sid) override;
};

}  // namespace telvo::platform::win32
