// SimSecurity's calls on file handles: descriptors of simulated files and
// directories (sim_file_security.h).
#include <cstring>
#include <mutex>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_file_object.h"
#include "platform/sim/sim_file_security.h"
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_security.h"

namespace telvo::platform::sim {

namespace {

using winformat::SecurityDescriptor;
namespace control = winformat::sd_control;
namespace info = security_information;

constexpr std::uint32_t kAccessSystemSecurity = 0x01000000;
constexpr std::uint16_t kDaclControlBits = control::kDaclProtected | control::kDaclAutoInherited |
                                           control::kDaclAutoInheritReq | control::kDaclDefaulted |
                                           control::kDaclUntrusted;

std::unexpected<SysError> NtFailure(std::uint32_t status) { return std::unexpected(SysError::NtStatus(status)); }

// The access a query of these parts needs.
std::uint32_t ReadAccessFor(std::uint32_t requested) {
    std::uint32_t access = 0;
    if (requested & (info::kOwner | info::kGroup | info::kDacl | info::kLabel)) access |= file_access::kReadControl;
    if (requested & info::kSacl) access |= kAccessSystemSecurity;
    return access;
}

bool Holds(const SimFileObject& file, std::uint32_t access) { return (file.access() & access) == access; }

// The file's descriptor with a new DACL and DACL control bits.
void StoreDacl(const SimFileObject& file, winformat::AclSlot dacl, std::uint16_t dacl_control) {
    SecurityDescriptor descriptor = ParseNodeDescriptor(*file.node());
    descriptor.dacl = std::move(dacl);
    descriptor.control = static_cast<std::uint16_t>((descriptor.control & ~kDaclControlBits) | dacl_control);
    file.tree().SetDescriptor(*file.link(), descriptor.ToSelfRelative());
}

// The DACL control bits a raw write stores (windows-notes 10.1): PROTECTED
// as passed; AUTO_INHERITED only when the caller passed it together with
// AUTO_INHERIT_REQ; the request bit itself is never stored.
std::uint16_t StoredDaclControl(std::uint16_t passed) {
    constexpr std::uint16_t kBoth = control::kDaclAutoInheritReq | control::kDaclAutoInherited;
    std::uint16_t stored = passed & control::kDaclProtected;
    if ((passed & kBoth) == kBoth) stored |= control::kDaclAutoInherited;
    return stored;
}

// The explicit entries of `passed` followed by what the object inherits from its parent.
winformat::AclSlot WithInheritedFromParent(const SimFileObject& file, const winformat::Acl& passed) {
    std::vector<winformat::Ace> aces;
    for (const winformat::Ace& ace : passed.aces()) {
        if ((ace.flags() & winformat::ace_flag::kInherited) == 0) aces.push_back(ace);
    }
    if (auto parent = file.link()->parent.lock()) {
        const SecurityDescriptor parent_descriptor = ParseNodeDescriptor(*parent);
        if (const winformat::Acl* parent_dacl = parent_descriptor.dacl.acl()) {
            const SecurityDescriptor own = ParseNodeDescriptor(*file.node());
            const InheritingObject object{file.node()->directory, own.owner, own.group};
            for (winformat::Ace& ace : InheritedAces(*parent_dacl, object)) aces.push_back(std::move(ace));
        }
    }
    auto acl = winformat::Acl::Fitted(passed.revision(), std::move(aces));
    if (!acl) throw InternalFault("simulated DACL outgrew an ACL");
    return winformat::AclSlot(std::move(*acl));
}

}  // namespace

std::shared_ptr<SimFileObject> SimSecurity::FindFile(Handle handle) const {
    return host_.handles().FindAs<SimFileObject>(handle);
}

void SimSecurity::RunBeforeFileCall(std::string_view call, const SimFileObject& file) {
    if (!before_file_call_) return;
    std::u16string path;
    {
        std::lock_guard lock(file.tree().mutex);
        auto final_path = file.tree().FinalPath(*file.link());
        if (final_path) path = std::move(*final_path);
    }
    before_file_call_(call, path);
}

bool SimSecurity::HoldsReadAccess(const SimFileObject& file, std::uint32_t security_information) {
    return Holds(file, ReadAccessFor(security_information));
}

std::vector<std::uint8_t> SimSecurity::FileDescriptor(const SimFileObject& file) {
    std::lock_guard lock(file.tree().mutex);
    return file.node()->security_descriptor;
}

SysResult<void> SimSecurity::NtQuerySecurityObject(Handle handle, std::uint32_t security_information,
                                                   std::span<std::uint8_t> buffer, std::uint32_t& length_needed) {
    length_needed = 0;
    TELVO_SIM_ENTER(host_, "NtQuerySecurityObject");
    auto file = FindFile(handle);
    if (!file) return NtFailure(ntstatus::kInvalidHandle);
    RunBeforeFileCall("NtQuerySecurityObject", *file);
    if (!Holds(*file, ReadAccessFor(security_information))) return NtFailure(ntstatus::kAccessDenied);
    std::lock_guard lock(file->tree().mutex);
    auto bytes = SelectDescriptorParts(file->node()->security_descriptor, security_information);
    if (!bytes) return NtFailure(ntstatus::kInvalidSecurityDescriptor);
    length_needed = static_cast<std::uint32_t>(bytes->size());
    if (buffer.size() < bytes->size()) return NtFailure(ntstatus::kBufferTooSmall);
    std::memcpy(buffer.data(), bytes->data(), bytes->size());
    return {};
}

SysResult<void> SimSecurity::NtSetSecurityObject(Handle handle, std::uint32_t security_information,
                                                 std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "NtSetSecurityObject");
    auto file = FindFile(handle);
    if (!file) return NtFailure(ntstatus::kInvalidHandle);
    RunBeforeFileCall("NtSetSecurityObject", *file);
    if (security_information != info::kDacl) return NtFailure(ntstatus::kInvalidParameter);
    if (!Holds(*file, file_access::kWriteDac)) return NtFailure(ntstatus::kAccessDenied);
    auto passed = SecurityDescriptor::ParseSelfRelative(security_descriptor);
    if (!passed) return NtFailure(ntstatus::kInvalidSecurityDescriptor);
    {
        std::lock_guard lock(file->tree().mutex);
        StoreDacl(*file, passed->dacl.present() ? winformat::AclSlot(WithFileRightsMapped(*passed->dacl.acl())) : winformat::AclSlot::Null(),
                  StoredDaclControl(passed->control));
    }
    last_nt_set_.assign(security_descriptor.begin(), security_descriptor.end());
    return {};
}

SysResult<std::vector<std::uint8_t>> SimSecurity::GetSecurityInfo(Handle handle, std::uint32_t object_type,
                                                                  std::uint32_t security_information) {
    TELVO_SIM_ENTER(host_, "GetSecurityInfo", {object_type, security_information});
    if (object_type == se_object_type::kKernelObject) {
        if (auto device = host_.handles().FindAs<SimNullDevice>(handle)) {
            return device->device().Query(device->access(), security_information);
        }
        return host_.pipes().KernelObjectSecurity(handle, security_information);
    }
    if (object_type != se_object_type::kFileObject) return Win32Failure(win32_error::kInvalidParameter);
    auto file = FindFile(handle);
    if (!file) return Win32Failure(win32_error::kInvalidHandle);
    RunBeforeFileCall("GetSecurityInfo", *file);
    if (!Holds(*file, ReadAccessFor(security_information))) return Win32Failure(win32_error::kAccessDenied);
    std::lock_guard lock(file->tree().mutex);
    auto bytes = SelectDescriptorParts(file->node()->security_descriptor, security_information);
    if (!bytes) return std::unexpected(*bytes.error().sys());
    return std::move(*bytes);
}

SysResult<void> SimSecurity::SetSecurityInfo(Handle handle, std::uint32_t object_type,
                                             std::uint32_t security_information, std::span<const std::uint8_t> dacl) {
    TELVO_SIM_ENTER(host_, "SetSecurityInfo", {object_type, security_information});
    if (object_type == se_object_type::kKernelObject) {
        auto device = host_.handles().FindAs<SimNullDevice>(handle);
        if (!device) return Win32Failure(win32_error::kInvalidHandle);
        return device->device().SetDacl(device->access(), security_information, dacl);
    }
    if (object_type != se_object_type::kFileObject) return Win32Failure(win32_error::kInvalidParameter);
    auto file = FindFile(handle);
    if (!file) return Win32Failure(win32_error::kInvalidHandle);
    RunBeforeFileCall("SetSecurityInfo", *file);
    const std::uint32_t protection = info::kProtectedDacl | info::kUnprotectedDacl;
    if ((security_information & ~protection) != info::kDacl || (security_information & protection) == protection) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    if (!Holds(*file, file_access::kWriteDac)) return Win32Failure(win32_error::kAccessDenied);
    std::optional<winformat::Acl> passed;
    if (!dacl.empty()) {
        auto parsed = winformat::Acl::Parse(dacl);
        if (!parsed) return Win32Failure(win32_error::kInvalidAcl);
        passed = std::move(*parsed);
    }

    std::lock_guard lock(file->tree().mutex);
    SimNode& node = *file->node();
    bool is_protected = (ParseNodeDescriptor(node).control & control::kDaclProtected) != 0;
    if (security_information & info::kProtectedDacl) is_protected = true;
    if (security_information & info::kUnprotectedDacl) is_protected = false;
    winformat::AclSlot slot = !passed        ? winformat::AclSlot::Null()
                            : is_protected ? winformat::AclSlot(*passed)
                                           : WithInheritedFromParent(*file, *passed);
    StoreDacl(*file, std::move(slot),
              static_cast<std::uint16_t>(control::kDaclAutoInherited | (is_protected ? control::kDaclProtected : 0)));
    if (node.directory) PropagateInheritance(file->tree(), node);
    return {};
}

}  // namespace telvo::platform::sim
