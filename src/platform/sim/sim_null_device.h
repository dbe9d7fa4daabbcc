#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

// One open of the null device. A read ends at once (0 bytes, end of input)
// and a write consumes everything, each only with the matching data right
// on the open (ERROR_ACCESS_DENIED otherwise). The device's own security is
// not modelled: every open succeeds.
class SimNullDevice final : public SimObject {
public:
    explicit SimNullDevice(std::uint32_t access) : access_(access) {}

    std::uint32_t access() const { return access_; }
    SysResult<std::uint32_t> Read(std::size_t capacity);
    SysResult<std::uint32_t> Write(std::size_t count);

    // The names CreateFileW takes for it: "NUL" and "\\.\NUL", any case.
    static bool Names(std::u16string_view path);

private:
    std::uint32_t access_;
};

}  // namespace telvo::platform::sim
