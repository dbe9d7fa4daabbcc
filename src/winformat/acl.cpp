#include "winformat/acl.h"

#include <algorithm>
#include <string>

#include "winformat/little_endian.h"

namespace telvo::winformat {

namespace {

constexpr std::uint8_t kMinRevision = acl_revision::kRevision;
constexpr std::uint8_t kMaxRevision = acl_revision::kRevisionDs;

bool ValidRevision(std::uint8_t revision) { return revision >= kMinRevision && revision <= kMaxRevision; }

}  // namespace

SysResult<Acl> Acl::Create(std::size_t size, std::uint8_t revision) {
    if (size < kHeaderSize) return std::unexpected(SysError::Win32(acl_error::kInsufficientBuffer));
    if (size > kMaxSize || size % 4 != 0 || !ValidRevision(revision)) {
        return std::unexpected(SysError::Win32(acl_error::kInvalidParameter));
    }
    return Acl(revision, static_cast<std::uint16_t>(size));
}

SysResult<Acl> Acl::Fitted(std::uint8_t revision, std::vector<Ace> aces) {
    std::size_t size = kHeaderSize;
    for (const Ace& ace : aces) size += ace.size();
    if (size > kMaxSize) return std::unexpected(SysError::Win32(acl_error::kAllottedSpaceExceeded));
    auto acl = Create(size, revision);
    if (!acl) return acl;
    for (Ace& ace : aces) {
        if (auto added = acl->Append(std::move(ace)); !added) return std::unexpected(added.error());
    }
    return acl;
}

Result<Acl> Acl::Parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return Fail("truncated ACL header");
    const std::uint8_t revision = bytes[0];
    if (!ValidRevision(revision)) return Fail("unsupported ACL revision " + std::to_string(revision));
    const std::uint16_t size = le::Read16(bytes, 2);
    const std::uint16_t count = le::Read16(bytes, 4);
    if (size < kHeaderSize) return Fail("ACL size is smaller than its header");
    if (size % 4 != 0) return Fail("ACL size is not a multiple of 4");
    if (size > bytes.size()) return Fail("ACL size runs past the end of its buffer");

    Acl acl(revision, size);
    acl.aces_.reserve(std::min<std::size_t>(count, (size - kHeaderSize) / Ace::kHeaderSize));
    const auto body = bytes.first(size);
    std::size_t at = kHeaderSize;
    for (std::size_t index = 0; index < count; ++index) {
        const std::string name = "ACE " + std::to_string(index);
        if (size - at < Ace::kHeaderSize) return Fail(name + " header runs past the end of the ACL");
        const std::uint16_t ace_size = le::Read16(body, at + 2);
        if (ace_size < Ace::kHeaderSize) return Fail(name + " is smaller than its header");
        if (ace_size > size - at) return Fail(name + " runs past the end of the ACL");
        auto ace = Ace::Parse(body.subspan(at, ace_size));
        if (!ace) return Fail(std::move(ace.error()).Context("invalid " + name));
        if (ace->form() == AceForm::object && revision < acl_revision::kRevisionDs) {
            return Fail("object " + name + " in an ACL below revision 4");
        }
        at += ace_size;
        acl.aces_.push_back(std::move(*ace));
    }
    acl.bytes_in_use_ = at;
    return acl;
}

SysResult<void> Acl::Append(Ace ace) { return Insert(aces_.size(), std::move(ace)); }

SysResult<void> Acl::Insert(std::size_t index, Ace ace) {
    if (index > aces_.size()) return std::unexpected(SysError::Win32(acl_error::kInvalidParameter));
    if (ace.size() > bytes_free()) return std::unexpected(SysError::Win32(acl_error::kAllottedSpaceExceeded));
    if (ace.form() == AceForm::object && revision_ < acl_revision::kRevisionDs) {
        revision_ = acl_revision::kRevisionDs;
    }
    bytes_in_use_ += ace.size();
    aces_.insert(aces_.begin() + static_cast<std::ptrdiff_t>(index), std::move(ace));
    return {};
}

SysResult<void> Acl::Erase(std::size_t index) {
    if (index >= aces_.size()) return std::unexpected(SysError::Win32(acl_error::kInvalidParameter));
    bytes_in_use_ -= aces_[index].size();
    aces_.erase(aces_.begin() + static_cast<std::ptrdiff_t>(index));
    return {};
}

std::vector<std::uint8_t> Acl::Serialize() const {
    std::vector<std::uint8_t> out;
    out.reserve(size_);
    out.push_back(revision_);
    out.push_back(0);
    le::Append16(out, size_);
    le::Append16(out, static_cast<std::uint16_t>(aces_.size()));
    le::Append16(out, 0);
    for (const Ace& ace : aces_) ace.AppendTo(out);
    out.resize(size_, 0);
    return out;
}

}  // namespace telvo::winformat
