#include "platform/sim/sim_null_device.h"

#include "platform/file_constants.h"
#include "platform/security.h"
#include "platform/sim/descriptor_parts.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"
#include "winformat/sddl.h"

namespace telvo::platform::sim {

namespace {

constexpr char kStockSddl[] = "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)S:(ML;;NW;;;LW)";

std::unexpected<SysError> Denied() { return std::unexpected(SysError::Win32(win32_error::kAccessDenied)); }

}  // namespace

SimNullDeviceObject::SimNullDeviceObject() : descriptor_(StockDescriptor()) {}

std::vector<std::uint8_t> SimNullDeviceObject::StockDescriptor() {
    return winformat::ParseSddl(kStockSddl)->ToSelfRelative();
}

std::vector<std::uint8_t> SimNullDeviceObject::Descriptor() const {
    std::lock_guard lock(mutex_);
    return descriptor_;
}

void SimNullDeviceObject::SetDescriptor(std::vector<std::uint8_t> self_relative) {
    std::lock_guard lock(mutex_);
    descriptor_ = std::move(self_relative);
}

bool SimNullDeviceObject::IsStock() const { return Descriptor() == StockDescriptor(); }

void SimNullDeviceObject::Reboot() { SetDescriptor(StockDescriptor()); }

SysResult<std::uint32_t> SimNullDeviceObject::CheckOpen(const TokenIdentity& token,
                                                        std::uint32_t desired_access) const {
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(Descriptor());
    if (!descriptor) return std::unexpected(SysError::Win32(win32_error::kInvalidSecurityDescr));
    const std::uint32_t mapped = MapGenericBits(desired_access, kFileGenericMapping);
    auto decision = EvaluateObjectAccess(*descriptor, token, mapped, kFileGenericMapping);
    if (!decision) return std::unexpected(decision.error());
    if (!decision->granted) return Denied();
    return decision->granted_access;
}

SysResult<std::vector<std::uint8_t>> SimNullDeviceObject::Query(std::uint32_t access,
                                                                std::uint32_t security_information) const {
    if ((security_information & security_information::kSacl) != 0) return Denied();  // needs ACCESS_SYSTEM_SECURITY
    if ((access & file_access::kReadControl) == 0) return Denied();
    auto parts = SelectDescriptorParts(Descriptor(), security_information);
    if (!parts) return std::unexpected(*parts.error().sys());
    return std::move(*parts);
}

SysResult<void> SimNullDeviceObject::SetDacl(std::uint32_t access, std::uint32_t security_information,
                                             std::span<const std::uint8_t> dacl) {
    if (security_information != security_information::kDacl) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    }
    if ((access & file_access::kWriteDac) == 0) return Denied();
    std::lock_guard lock(mutex_);
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(descriptor_);
    if (!descriptor) return std::unexpected(SysError::Win32(win32_error::kInvalidSecurityDescr));
    if (dacl.empty()) {
        descriptor->dacl = winformat::AclSlot::Null();
    } else {
        auto parsed = winformat::Acl::Parse(dacl);
        if (!parsed) return std::unexpected(SysError::Win32(win32_error::kInvalidAcl));
        descriptor->dacl = winformat::AclSlot(std::move(*parsed));
    }
    // A DACL written without protection clears SE_DACL_PROTECTED (windows-notes 10.1, 11.5).
    descriptor->control &= static_cast<std::uint16_t>(~(winformat::sd_control::kDaclProtected | winformat::sd_control::kDaclAutoInherited));
    descriptor_ = descriptor->ToSelfRelative();
    return {};
}

SysResult<std::uint32_t> SimNullDevice::Read(std::size_t) {
    if ((access_ & file_access::kReadData) == 0) return Denied();
    return 0u;
}

SysResult<std::uint32_t> SimNullDevice::Write(std::size_t count) {
    if ((access_ & (file_access::kWriteData | file_access::kAppendData)) == 0) return Denied();
    return static_cast<std::uint32_t>(count);
}

bool SimNullDevice::Names(std::u16string_view path) {
    return winformat::EqualIgnoringCase(path, u"NUL") || winformat::EqualIgnoringCase(path, u"\\\\.\\NUL");
}

bool SimNullDevice::NamesDevice(std::u16string_view nt_name) {
    return winformat::EqualIgnoringCase(nt_name, u"\\Device\\Null");
}

}  // namespace telvo::platform::sim
