#pragma once

#include "platform/security.h"
#include "winutil/sid.h"

namespace telvo::platform::sim {

class SimHost;

class SimSecurity final : public Security {
public:
    explicit SimSecurity(SimHost& host) : host_(host) {}

    SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;
    SysResult<Handle> OpenProcessToken(std::uint32_t desired_access) override;
    SysResult<void> GetTokenInformation(Handle token, std::uint32_t information_class, std::span<std::uint8_t> buffer,
                                        std::uint32_t& return_length) override;

    // Test side: the user of the simulated process's token, which is also
    // its default owner for new objects.
    void SetTokenUser(winutil::Sid user) { token_user_ = std::move(user); }
    const winutil::Sid& TokenUser() const { return token_user_; }

private:
    SimHost& host_;
    winutil::Sid token_user_ = winutil::Sid::Make(winutil::sid_authority::kNt, {21, 1004336348, 1177238915, 682003330, 1001});
};

}  // namespace telvo::platform::sim
