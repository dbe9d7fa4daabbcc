#include "platform/sim/sim_security.h"

#include <cstring>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SysResult<void> SimSecurity::GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                     std::span<std::uint8_t> buffer, std::uint32_t& length_needed) {
    length_needed = 0;
    if (auto fault = host_.Enter("GetKernelObjectSecurity")) return std::unexpected(*fault);
    auto secured = std::dynamic_pointer_cast<SimSecured>(host_.handles().Find(handle));
    if (!secured) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    auto bytes = SelectDescriptorParts(secured->security_descriptor, requested_information);
    if (!bytes) return std::unexpected(*bytes.error().sys());
    length_needed = static_cast<std::uint32_t>(bytes->size());
    if (buffer.size() < bytes->size()) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    std::memcpy(buffer.data(), bytes->data(), bytes->size());
    return {};
}

}  // namespace telvo::platform::sim
