#include "winformat/security_descriptor.h"

#include <algorithm>
#include <string>

#include "common/try.h"
#include "winformat/little_endian.h"

namespace telvo::winformat {

namespace {

constexpr std::uint16_t kDerivedBits = sd_control::kDaclPresent | sd_control::kSaclPresent | sd_control::kSelfRelative;

struct Extent {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The offset of a component, which must point past the header, at a 4-byte
// boundary and inside the buffer.
Result<std::size_t> CheckOffset(std::span<const std::uint8_t> bytes, std::uint32_t offset, const std::string& name) {
    if (offset < SecurityDescriptor::kHeaderSize) return Fail(name + " offset points into the security descriptor header");
    if (offset % 4 != 0) return Fail(name + " offset is not a multiple of 4");
    if (offset >= bytes.size()) return Fail(name + " offset is past the end of the security descriptor");
    return offset;
}

Result<std::optional<Sid>> ReadSidComponent(std::span<const std::uint8_t> bytes, std::uint32_t offset,
                                            const std::string& name, std::vector<Extent>& extents) {
    if (offset == 0) return std::nullopt;
    TELVO_TRY_ASSIGN(const std::size_t at, CheckOffset(bytes, offset, name));
    const auto length = ValidSidLength(bytes.subspan(at));
    if (!length) return Fail(name + " is not a valid SID inside the security descriptor");
    extents.push_back({at, at + *length});
    return Sid::FromBytes(bytes.subspan(at, *length));
}

Result<AclSlot> ReadAclComponent(std::span<const std::uint8_t> bytes, std::uint32_t offset, bool present,
                                 const std::string& name, std::vector<Extent>& extents) {
    if (!present) {
        if (offset != 0) return Fail(name + " offset is set although the " + name + " is not present");
        return AclSlot();
    }
    if (offset == 0) return AclSlot::Null();
    TELVO_TRY_ASSIGN(const std::size_t at, CheckOffset(bytes, offset, name));
    auto acl = Acl::Parse(bytes.subspan(at));
    if (!acl) return Fail(std::move(acl.error()).Context("invalid " + name));
    extents.push_back({at, at + acl->size()});
    return AclSlot(std::move(*acl));
}

void AppendComponent(std::vector<std::uint8_t>& out, std::size_t offset_field, std::span<const std::uint8_t> bytes) {
    le::Write32(out, offset_field, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::uint16_t SecurityDescriptor::Control() const {
    return static_cast<std::uint16_t>((control & ~kDerivedBits) | (dacl.present() ? sd_control::kDaclPresent : 0) |
                                      (sacl.present() ? sd_control::kSaclPresent : 0));
}

Result<SecurityDescriptor> SecurityDescriptor::ParseSelfRelative(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return Fail("truncated security descriptor header");
    if (bytes[0] != kRevision) return Fail("unsupported security descriptor revision " + std::to_string(bytes[0]));
    const std::uint16_t control = le::Read16(bytes, 2);
    if ((control & sd_control::kSelfRelative) == 0) return Fail("security descriptor is not self-relative");

    SecurityDescriptor sd;
    sd.control = static_cast<std::uint16_t>(control & ~kDerivedBits);
    sd.resource_manager_control = bytes[1];
    std::vector<Extent> extents;
    TELVO_TRY_ASSIGN(sd.owner, ReadSidComponent(bytes, le::Read32(bytes, 4), "owner", extents));
    TELVO_TRY_ASSIGN(sd.group, ReadSidComponent(bytes, le::Read32(bytes, 8), "group", extents));
    TELVO_TRY_ASSIGN(sd.sacl, ReadAclComponent(bytes, le::Read32(bytes, 12), (control & sd_control::kSaclPresent) != 0,
                                               "SACL", extents));
    TELVO_TRY_ASSIGN(sd.dacl, ReadAclComponent(bytes, le::Read32(bytes, 16), (control & sd_control::kDaclPresent) != 0,
                                               "DACL", extents));

    std::ranges::sort(extents, {}, &Extent::begin);
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].begin < extents[i - 1].end) return Fail("security descriptor components overlap");
    }
    return sd;
}

std::vector<std::uint8_t> SecurityDescriptor::ToSelfRelative() const {
    std::vector<std::uint8_t> out(kHeaderSize, 0);
    out[0] = kRevision;
    out[1] = resource_manager_control;
    const std::uint16_t word = Control() | sd_control::kSelfRelative;
    out[2] = static_cast<std::uint8_t>(word);
    out[3] = static_cast<std::uint8_t>(word >> 8);
    if (const Acl* acl = sacl.acl()) AppendComponent(out, 12, acl->Serialize());
    if (const Acl* acl = dacl.acl()) AppendComponent(out, 16, acl->Serialize());
    if (owner) AppendComponent(out, 4, owner->bytes());
    if (group) AppendComponent(out, 8, group->bytes());
    return out;
}

bool SecurityDescriptor::operator==(const SecurityDescriptor& other) const {
    return Control() == other.Control() && resource_manager_control == other.resource_manager_control &&
           owner == other.owner && group == other.group && sacl == other.sacl && dacl == other.dacl;
}

}  // namespace telvo::winformat
