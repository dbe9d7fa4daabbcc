#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// AppContainer profiles, capability SIDs and SID text (userenv, kernelbase, advapi32).
class AppContainer {
public:
    virtual ~AppContainer() = default;
};

}  // namespace telvo::platform
