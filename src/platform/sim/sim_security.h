#pragma once

#include "platform/security.h"

namespace telvo::platform::sim {

class SimHost;

class SimSecurity final : public Security {
public:
    explicit SimSecurity(SimHost& host) : host_(host) {}

private:
    [[maybe_unused]] SimHost& host_;
};

}  // namespace telvo::platform::sim
