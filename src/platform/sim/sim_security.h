#pragma once

#include "platform/security.h"

namespace telvo::platform::sim {

class SimHost;

class SimSecurity final : public Security {
public:
    explicit SimSecurity(SimHost& host) : host_(host) {}

    SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;

private:
    SimHost& host_;
};

}  // namespace telvo::platform::sim
