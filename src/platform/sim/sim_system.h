#pragma once

#include "platform/system.h"

namespace telvo::platform::sim {

class SimHost;

class SimSystem final : public System {
public:
    explicit SimSystem(SimHost& host) : host_(host) {}

private:
    [[maybe_unused]] SimHost& host_;
};

}  // namespace telvo::platform::sim
