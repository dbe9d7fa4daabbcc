#include "platform/sim/descriptor_parts.h"

#include "platform/security.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {
}

Result<std::vector<std::uint8_t>> SelectDescriptorParts(std::span<const std::uint8_t> stored,
                                                         std::uint32_t requested_information) {
    using namespace winformat::sd_control;
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(stored);
    if (!parsed) return Fail(Error::Win32("stored security descriptor", win32_error::kInvalidSecurityDescr));
    winformat::SecurityDescriptor selected;
    std::uint16_t keep = kSelfRelative | kRmControlValid;
    if (requested_information & security_information::kOwner) {
        selected.owner = parsed->owner;
        keep |= kOwnerDefaulted;
    }
    if (requested_information & security_information::kGroup) {
        selected.group = parsed->group;
        keep |= kGroupDefaulted;
    }
    if (requested_information & security_information::kDacl) {
        selected.dacl = parsed->dacl;
        keep |= kDaclDefaulted | kDaclAutoInheritReq | kDaclAutoInherited | kDaclProtected | kDaclUntrusted;
    }
    if (requested_information & (security_information::kSacl | security_information::kLabel)) {
        selected.sacl = parsed->sacl;
        keep |= kSaclDefaulted | kSaclAutoInheritReq | kSaclAutoInherited | kSaclProtected;
    }
    selected.control = static_cast<std::uint16_t>(parsed->control & keep);
    selected.resource_manager_control = parsed->resource_manager_control;
    return selected.ToSelfRelative();
}

}  // namespace telvo::platform::sim
