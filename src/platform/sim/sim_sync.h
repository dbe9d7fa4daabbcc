#pragma once

#include "platform/sync.h"

namespace telvo::platform::sim {

class SimHost;

class SimSync final : public Sync {
public:
    explicit SimSync(SimHost& host) : host_(host) {}

private:
    [[maybe_unused]] SimHost& host_;
};

}  // namespace telvo::platform::sim
