#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "common/error.h"
#include "winformat/sid.h"

namespace telvo::winformat {

// ACE types (the first byte of the ACE header).
namespace ace_type {
inline constexpr std::uint8_t kAccessAllowed = 0x00;
inline constexpr std::uint8_t kAccessDenied = 0x01;
inline constexpr std::uint8_t kSystemAudit = 0x02;
inline constexpr std::uint8_t kSystemAlarm = 0x03;
inline constexpr std::uint8_t kAccessAllowedCompound = 0x04;
inline constexpr std::uint8_t kAccessAllowedObject = 0x05;
inline constexpr std::uint8_t kAccessDeniedObject = 0x06;
inline constexpr std::uint8_t kSystemAuditObject = 0x07;
inline constexpr std::uint8_t kSystemAlarmObject = 0x08;
inline constexpr std::uint8_t kAccessAllowedCallback = 0x09;
inline constexpr std::uint8_t kAccessDeniedCallback = 0x0A;
inline constexpr std::uint8_t kAccessAllowedCallbackObject = 0x0B;
inline constexpr std::uint8_t kAccessDeniedCallbackObject = 0x0C;
inline constexpr std::uint8_t kSystemAuditCallback = 0x0D;
inline constexpr std::uint8_t kSystemAlarmCallback = 0x0E;
inline constexpr std::uint8_t kSystemAuditCallbackObject = 0x0F;
inline constexpr std::uint8_t kSystemAlarmCallbackObject = 0x10;
inline constexpr std::uint8_t kSystemMandatoryLabel = 0x11;
inline constexpr std::uint8_t kSystemResourceAttribute = 0x12;
inline constexpr std::uint8_t kSystemScopedPolicyId = 0x13;
inline constexpr std::uint8_t kSystemProcessTrustLabel = 0x14;
inline constexpr std::uint8_t kSystemAccessFilter = 0x15;
}  // namespace ace_type

// ACE header flags.
namespace ace_flag {
inline constexpr std::uint8_t kObjectInherit = 0x01;
inline constexpr std::uint8_t kContainerInherit = 0x02;
inline constexpr std::uint8_t kNoPropagateInherit = 0x04;
inline constexpr std::uint8_t kInheritOnly = 0x08;
inline constexpr std::uint8_t kInherited = 0x10;
inline constexpr std::uint8_t kValidInheritFlags = 0x1F;
inline constexpr std::uint8_t kCritical = 0x20;
inline constexpr std::uint8_t kSuccessfulAccess = 0x40;
inline constexpr std::uint8_t kFailedAccess = 0x80;
}  // namespace ace_flag

// Flags of an object ACE body, telling which GUIDs follow.
namespace object_ace_flag {
inline constexpr std::uint32_t kObjectTypePresent = 0x1;
inline constexpr std::uint32_t kInheritedObjectTypePresent = 0x2;
}  // namespace object_ace_flag

// A GUID as its 16 bytes are stored in an object ACE.
using GuidBytes = std::array<std::uint8_t, 16>;

// How an ACE type lays out its body.
enum class AceForm : std::uint8_t {
    basic,   // mask @4, SID @8, then application data
    object,  // mask @4, object flags @8, optional GUIDs, SID, then application data
    opaque,  // any other type: the body is kept as raw bytes
};
AceForm FormOfAceType(std::uint8_t type);

// Bytes after the SID up to the ACE's size. For callback types this is the
// application data (a conditional expression when it starts with "artx");
// other types may carry slack there. Either way it is kept so that an ACE
// copies byte for byte.
using AceApplicationData = std::vector<std::uint8_t>;

struct BasicAceBody {
    std::uint32_t mask = 0;
    Sid sid;
    AceApplicationData application_data;
    bool operator==(const BasicAceBody&) const = default;
};

struct ObjectAceBody {
    std::uint32_t mask = 0;
    std::optional<GuidBytes> object_type;
    std::optional<GuidBytes> inherited_object_type;
    Sid sid;
    AceApplicationData application_data;
    bool operator==(const ObjectAceBody&) const = default;
};

struct OpaqueAceBody {
    std::vector<std::uint8_t> bytes;  // everything after the 4-byte header
    bool operator==(const OpaqueAceBody&) const = default;
};

using AceBody = std::variant<BasicAceBody, ObjectAceBody, OpaqueAceBody>;

// One access-control entry. Its size is always a multiple of 4 and at most
// kMaxSize; its body has the form its type calls for.
class Ace {
public:
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::size_t kMaxSize = 0xFFFC;

    // The bytes must be exactly one ACE: the header's size equals their length.
    static Result<Ace> Parse(std::span<const std::uint8_t> bytes);

    // Fails when the body's form does not match the type or the ACE would be
    // too large or not a multiple of 4 bytes.
    static Result<Ace> Make(std::uint8_t type, std::uint8_t flags, AceBody body);
    // An ACE of a basic-form type without application data (as the Add*Ace
    // calls build them). A type of another form is a programming fault.
    static Ace Basic(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, Sid sid);
    static Ace Allowed(std::uint32_t mask, Sid sid, std::uint8_t flags = 0);
    static Ace Denied(std::uint32_t mask, Sid sid, std::uint8_t flags = 0);

    std::uint8_t type() const { return type_; }
    std::uint8_t flags() const { return flags_; }
    std::uint16_t size() const { return size_; }
    AceForm form() const { return FormOfAceType(type_); }
    const AceBody& body() const { return body_; }

    // The access mask and the SID of basic and object ACEs; none for opaque ones.
    std::optional<std::uint32_t> mask() const;
    const Sid* sid() const;

    void AppendTo(std::vector<std::uint8_t>& out) const;
    std::vector<std::uint8_t> Serialize() const;

    bool operator==(const Ace&) const = default;

private:
    Ace(std::uint8_t type, std::uint8_t flags, std::uint16_t size, AceBody body)
        : type_(type), flags_(flags), size_(size), body_(std::move(body)) {}

    std::uint8_t type_;
    std::uint8_t flags_;
    std::uint16_t size_;
    AceBody body_;
};

// Whether the SID's bytes occur in `bytes` at any offset: how an opaque ACE,
// which cannot be read, is searched for a SID.
bool ContainsSidBytes(std::span<const std::uint8_t> bytes, const Sid& sid);

}  // namespace telvo::winformat
