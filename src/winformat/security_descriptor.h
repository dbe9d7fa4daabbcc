#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "winformat/acl.h"
#include "winformat/sid.h"

namespace telvo::winformat {

// Security descriptor control bits.
namespace sd_control {
inline constexpr std::uint16_t kOwnerDefaulted = 0x0001;
inline constexpr std::uint16_t kGroupDefaulted = 0x0002;
inline constexpr std::uint16_t kDaclPresent = 0x0004;
inline constexpr std::uint16_t kDaclDefaulted = 0x0008;
inline constexpr std::uint16_t kSaclPresent = 0x0010;
inline constexpr std::uint16_t kSaclDefaulted = 0x0020;
inline constexpr std::uint16_t kDaclUntrusted = 0x0040;
inline constexpr std::uint16_t kServerSecurity = 0x0080;
inline constexpr std::uint16_t kDaclAutoInheritReq = 0x0100;
inline constexpr std::uint16_t kSaclAutoInheritReq = 0x0200;
inline constexpr std::uint16_t kDaclAutoInherited = 0x0400;
inline constexpr std::uint16_t kSaclAutoInherited = 0x0800;
inline constexpr std::uint16_t kDaclProtected = 0x1000;
inline constexpr std::uint16_t kSaclProtected = 0x2000;
inline constexpr std::uint16_t kRmControlValid = 0x4000;
inline constexpr std::uint16_t kSelfRelative = 0x8000;
}  // namespace sd_control

// A descriptor's DACL or SACL: not present, present but null (a null DACL
// grants everyone everything), or an ACL, which may be empty (an empty DACL
// grants nothing).
class AclSlot {
public:
    AclSlot() = default;  // not present
    explicit AclSlot(Acl acl) : present_(true), acl_(std::move(acl)) {}
    static AclSlot Null() {
        AclSlot slot;
        slot.present_ = true;
        return slot;
    }

    bool present() const { return present_; }
    bool is_null() const { return present_ && !acl_; }
    const Acl* acl() const { return acl_ ? &*acl_ : nullptr; }
    Acl* acl() { return acl_ ? &*acl_ : nullptr; }

    bool operator==(const AclSlot&) const = default;

private:
    bool present_ = false;
    std::optional<Acl> acl_;
};

// The absolute (structured) form of a security descriptor, revision 1.
// `control` holds the control bits other than SE_DACL_PRESENT, SE_SACL_PRESENT
// and SE_SELF_RELATIVE: the first two follow from the slots, the last from the
// form, and whatever `control` says about them is ignored.
struct SecurityDescriptor {
    static constexpr std::size_t kHeaderSize = 20;
    static constexpr std::uint8_t kRevision = 1;

    std::uint16_t control = 0;
    std::uint8_t resource_manager_control = 0;  // the Sbz1 byte, meaningful with SE_RM_CONTROL_VALID
    std::optional<Sid> owner;
    std::optional<Sid> group;
    AclSlot sacl;
    AclSlot dacl;

    // The control word of this descriptor in absolute form (no SE_SELF_RELATIVE).
    std::uint16_t Control() const;

    // A self-relative descriptor at the start of `bytes`; every offset is
    // checked against the buffer, alignment and the other components.
    static Result<SecurityDescriptor> ParseSelfRelative(std::span<const std::uint8_t> bytes);
    // The self-relative bytes: header, then SACL, DACL, owner and group.
    std::vector<std::uint8_t> ToSelfRelative() const;

    bool operator==(const SecurityDescriptor& other) const;
};

}  // namespace telvo::winformat
