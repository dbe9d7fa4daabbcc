#include "winformat/ace.h"

#include <algorithm>

#include "common/try.h"
#include "winformat/little_endian.h"

namespace telvo::winformat {

namespace {

constexpr std::size_t kMaskOffset = 4;
constexpr std::size_t kBasicSidOffset = 8;
constexpr std::size_t kObjectFlagsOffset = 8;
constexpr std::size_t kObjectFixedSize = 12;  // header, mask, object flags
constexpr std::size_t kSidHeaderSize = 8;

struct SidAt {
    Sid sid;
    std::size_t end;
};

// The SID at `offset` inside the ACE, which must lie wholly inside it.
Result<SidAt> ReadSid(std::span<const std::uint8_t> ace, std::size_t offset) {
    if (ace.size() < offset + kSidHeaderSize) return Fail("truncated SID in ACE");
    const auto rest = ace.subspan(offset);
    if (rest[0] != 1 || rest[1] > Sid::kMaxSubAuthorities) return Fail("invalid SID in ACE");
    const std::size_t length = kSidHeaderSize + 4 * static_cast<std::size_t>(rest[1]);
    if (rest.size() < length) return Fail("truncated SID in ACE");
    TELVO_TRY_ASSIGN(auto sid, Sid::FromBytes(rest.first(length)));
    return SidAt{std::move(sid), offset + length};
}

AceApplicationData Tail(std::span<const std::uint8_t> ace, std::size_t from) {
    return AceApplicationData(ace.begin() + static_cast<std::ptrdiff_t>(from), ace.end());
}

Result<AceBody> ParseBasic(std::span<const std::uint8_t> ace) {
    if (ace.size() < kBasicSidOffset) return Fail("truncated ACE");
    TELVO_TRY_ASSIGN(auto sid, ReadSid(ace, kBasicSidOffset));
    return BasicAceBody{le::Read32(ace, kMaskOffset), std::move(sid.sid), Tail(ace, sid.end)};
}

Result<AceBody> ParseObject(std::span<const std::uint8_t> ace) {
    if (ace.size() < kObjectFixedSize) return Fail("truncated object ACE");
    const std::uint32_t object_flags = le::Read32(ace, kObjectFlagsOffset);
    if (object_flags > (object_ace_flag::kObjectTypePresent | object_ace_flag::kInheritedObjectTypePresent)) {
        return Fail("unsupported object ACE flags");
    }
    std::size_t at = kObjectFixedSize;
    const auto read_guid = [&](std::uint32_t flag) -> Result<std::optional<GuidBytes>> {
        if ((object_flags & flag) == 0) return std::nullopt;
        if (ace.size() < at + 16) return Fail("truncated object ACE");
        GuidBytes guid{};
        std::copy_n(ace.begin() + static_cast<std::ptrdiff_t>(at), guid.size(), guid.begin());
        at += guid.size();
        return guid;
    };
    TELVO_TRY_ASSIGN(auto object_type, read_guid(object_ace_flag::kObjectTypePresent));
    TELVO_TRY_ASSIGN(auto inherited_object_type, read_guid(object_ace_flag::kInheritedObjectTypePresent));
    TELVO_TRY_ASSIGN(auto sid, ReadSid(ace, at));
    return ObjectAceBody{le::Read32(ace, kMaskOffset), object_type, inherited_object_type, std::move(sid.sid),
                         Tail(ace, sid.end)};
}

std::size_t BodySize(const AceBody& body) {
    struct Sizer {
        std::size_t operator()(const BasicAceBody& b) const {
            return 4 + b.sid.size() + b.application_data.size();
        }
        std::size_t operator()(const ObjectAceBody& b) const {
            return 8 + (b.object_type ? 16 : 0) + (b.inherited_object_type ? 16 : 0) + b.sid.size() +
                   b.application_data.size();
        }
        std::size_t operator()(const OpaqueAceBody& b) const { return b.bytes.size(); }
    };
    return std::visit(Sizer{}, body);
}

AceForm FormOfBody(const AceBody& body) {
    if (std::holds_alternative<BasicAceBody>(body)) return AceForm::basic;
    if (std::holds_alternative<ObjectAceBody>(body)) return AceForm::object;
    return AceForm::opaque;
}

}  // namespace

AceForm FormOfAceType(std::uint8_t type) {
    switch (type) {
        case ace_type::kAccessAllowed:
        case ace_type::kAccessDenied:
        case ace_type::kSystemAudit:
        case ace_type::kSystemAlarm:
        case ace_type::kAccessAllowedCallback:
        case ace_type::kAccessDeniedCallback:
        case ace_type::kSystemAuditCallback:
        case ace_type::kSystemAlarmCallback:
        case ace_type::kSystemMandatoryLabel:
            return AceForm::basic;
        case ace_type::kAccessAllowedObject:
        case ace_type::kAccessDeniedObject:
        case ace_type::kSystemAuditObject:
        case ace_type::kSystemAlarmObject:
        case ace_type::kAccessAllowedCallbackObject:
        case ace_type::kAccessDeniedCallbackObject:
        case ace_type::kSystemAuditCallbackObject:
        case ace_type::kSystemAlarmCallbackObject:
            return AceForm::object;
        default:
            return AceForm::opaque;
    }
}

Result<Ace> Ace::Parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return Fail("truncated ACE header");
    const std::uint16_t size = le::Read16(bytes, 2);
    if (size != bytes.size()) return Fail("ACE size does not match its bytes");
    if (size % 4 != 0) return Fail("ACE size is not a multiple of 4");
    const std::uint8_t type = bytes[0];
    const std::uint8_t flags = bytes[1];
    switch (FormOfAceType(type)) {
        case AceForm::basic: {
            TELVO_TRY_ASSIGN(auto body, ParseBasic(bytes));
            return Ace(type, flags, size, std::move(body));
        }
        case AceForm::object: {
            TELVO_TRY_ASSIGN(auto body, ParseObject(bytes));
            return Ace(type, flags, size, std::move(body));
        }
        case AceForm::opaque:
            break;
    }
    return Ace(type, flags, size, OpaqueAceBody{std::vector<std::uint8_t>(bytes.begin() + kHeaderSize, bytes.end())});
}

Result<Ace> Ace::Make(std::uint8_t type, std::uint8_t flags, AceBody body) {
    if (FormOfBody(body) != FormOfAceType(type)) return Fail("ACE body does not match its type");
    const std::size_t size = kHeaderSize + BodySize(body);
    if (size > kMaxSize) return Fail("ACE is too large");
    if (size % 4 != 0) return Fail("ACE size is not a multiple of 4");
    return Ace(type, flags, static_cast<std::uint16_t>(size), std::move(body));
}

Ace Ace::Basic(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, Sid sid) {
    if (FormOfAceType(type) != AceForm::basic) throw InternalFault("basic ACE built with a type of another form");
    const auto size = static_cast<std::uint16_t>(kBasicSidOffset + sid.size());
    return Ace(type, flags, size, BasicAceBody{mask, std::move(sid), {}});
}

Ace Ace::Allowed(std::uint32_t mask, Sid sid, std::uint8_t flags) {
    return Basic(ace_type::kAccessAllowed, flags, mask, std::move(sid));
}

Ace Ace::Denied(std::uint32_t mask, Sid sid, std::uint8_t flags) {
    return Basic(ace_type::kAccessDenied, flags, mask, std::move(sid));
}

std::optional<std::uint32_t> Ace::mask() const {
    if (const auto* basic = std::get_if<BasicAceBody>(&body_)) return basic->mask;
    if (const auto* object = std::get_if<ObjectAceBody>(&body_)) return object->mask;
    return std::nullopt;
}

const Sid* Ace::sid() const {
    if (const auto* basic = std::get_if<BasicAceBody>(&body_)) return &basic->sid;
    if (const auto* object = std::get_if<ObjectAceBody>(&body_)) return &object->sid;
    return nullptr;
}

void Ace::AppendTo(std::vector<std::uint8_t>& out) const {
    out.push_back(type_);
    out.push_back(flags_);
    le::Append16(out, size_);
    const auto append = [&out](std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); };
    if (const auto* basic = std::get_if<BasicAceBody>(&body_)) {
        le::Append32(out, basic->mask);
        append(basic->sid.bytes());
        append(basic->application_data);
    } else if (const auto* object = std::get_if<ObjectAceBody>(&body_)) {
        le::Append32(out, object->mask);
        le::Append32(out, (object->object_type ? object_ace_flag::kObjectTypePresent : 0) |
                              (object->inherited_object_type ? object_ace_flag::kInheritedObjectTypePresent : 0));
        if (object->object_type) append(*object->object_type);
        if (object->inherited_object_type) append(*object->inherited_object_type);
        append(object->sid.bytes());
        append(object->application_data);
    } else {
        append(std::get<OpaqueAceBody>(body_).bytes);
    }
}

std::vector<std::uint8_t> Ace::Serialize() const {
    std::vector<std::uint8_t> out;
    out.reserve(size_);
    AppendTo(out);
    return out;
}

bool ContainsSidBytes(std::span<const std::uint8_t> bytes, const Sid& sid) {
    const auto needle = sid.bytes();
    return std::ranges::search(bytes, needle).begin() != bytes.end();
}

}  // namespace telvo::winformat
