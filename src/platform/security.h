#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Security descriptors of objects, tokens and access checks (advapi32, ntdll).
class Security {
public:
    virtual ~Security() = default;
};

}  // namespace telvo::platform
