#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Named kernel mutexes (kernel32).
class Sync {
public:
    virtual ~Sync() = default;
};

}  // namespace telvo::platform
