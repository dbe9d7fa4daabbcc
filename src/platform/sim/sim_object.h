#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// Anything a simulated handle can refer to.
class SimObject {
public:
    virtual ~SimObject() = default;
};

// An object WaitForSingleObject can wait on. The simulated host runs waits on
// its virtual clock: an object that is not signalled when the wait starts and
// that no other thread signals times out once the clock has advanced.
class SimWaitable : public SimObject {
public:
    // Tries to satisfy the wait for the calling thread without blocking:
    // WAIT_OBJECT_0 or WAIT_ABANDONED when satisfied, nothing when not.
    virtual std::optional<std::uint32_t> TryWait() = 0;
};

// An object that carries a security descriptor, kept as self-relative bytes
// exactly as Windows would hand them out.
class SimSecured {
public:
    virtual ~SimSecured() = default;
    std::vector<std::uint8_t> security_descriptor;
};

}  // namespace telvo::platform::sim
