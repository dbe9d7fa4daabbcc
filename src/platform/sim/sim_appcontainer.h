#pragma once

#include "platform/appcontainer.h"

namespace telvo::platform::sim {

class SimHost;

class SimAppContainer final : public AppContainer {
public:
    explicit SimAppContainer(SimHost& host) : host_(host) {}

private:
    [[maybe_unused]] SimHost& host_;
};

}  // namespace telvo::platform::sim
