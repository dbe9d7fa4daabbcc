#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Machine facts and services: random numbers, known folders, registry values, system directories.
class System {
public:
    virtual ~System() = default;
};

}  // namespace telvo::platform
