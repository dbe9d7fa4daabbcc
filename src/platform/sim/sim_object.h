#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// A simulated call failing with a Win32 error.
inline std::unexpected<SysError> Win32Failure(std::uint32_t code) { return std::unexpected(SysError::Win32(code)); }

// Anything a simulated handle can refer to.
class SimObject {
public:
    virtual ~SimObject() = default;
    // Called when the last handle to the object in any handle table closes
    // (a kill-on-close job acts then), also when its process ends.
    virtual void OnLastHandleClosed() {}

private:
    friend class HandleTable;
    std::size_t open_handles_ = 0;  // guarded by the handle tables' lock
};

// An object WaitForSingleObject can wait on. The simulated host runs waits on
// its virtual clock: an object that is not signalled when the wait starts and
// that no other thread signals times out once the clock has advanced.
class SimWaitable : public SimObject {
public:
    // Tries to satisfy the wait for the calling thread without blocking:
    // WAIT_OBJECT_0 or WAIT_ABANDONED when satisfied, nothing when not.
    virtual std::optional<std::uint32_t> TryWait() = 0;
    // The virtual time at which the object will be signalled without help
    // from another thread (a process that is dying), if any.
    virtual std::optional<std::uint64_t> SignalledAt() const { return std::nullopt; }
};

// An object that carries a security descriptor, kept as self-relative bytes
// exactly as Windows would hand them out.
class SimSecured {
public:
    virtual ~SimSecured() = default;
    std::vector<std::uint8_t> security_descriptor;
};

}  // namespace telvo::platform::sim
