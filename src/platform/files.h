#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Files, volumes, directory enumeration and byte-range locks (kernel32).
class Files {
public:
    virtual ~Files() = default;
};

}  // namespace telvo::platform
