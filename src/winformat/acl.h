#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"
#include "winformat/ace.h"

namespace telvo::winformat {

namespace acl_revision {
inline constexpr std::uint8_t kRevision = 2;    // ACL_REVISION
inline constexpr std::uint8_t kRevisionDs = 4;  // ACL_REVISION_DS, required by object ACEs
}  // namespace acl_revision

// The Win32 errors the ACL-building calls report.
namespace acl_error {
inline constexpr std::uint32_t kInsufficientBuffer = 122;      // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t kInvalidParameter = 87;         // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kAllottedSpaceExceeded = 1344;  // ERROR_ALLOTTED_SPACE_EXCEEDED
}  // namespace acl_error

// An access-control list: a revision, a fixed allotted size (AclSize) and the
// ACEs in order. The bytes after the last ACE up to the allotted size are free
// space and are written as zeros.
class Acl {
public:
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr std::size_t kMaxSize = 0xFFFC;  // the largest AclSize that is a multiple of 4

    // InitializeAcl: an empty ACL of `size` bytes (a multiple of 4, header
    // included) and revision 2, 3 or 4.
    static SysResult<Acl> Create(std::size_t size, std::uint8_t revision);
    // An ACL holding `aces` whose size is exactly what they need.
    static SysResult<Acl> Fitted(std::uint8_t revision, std::vector<Ace> aces);
    // The ACL at the start of `bytes`, which must hold at least its AclSize.
    static Result<Acl> Parse(std::span<const std::uint8_t> bytes);

    std::uint8_t revision() const { return revision_; }
    std::uint16_t size() const { return size_; }
    std::size_t bytes_in_use() const { return bytes_in_use_; }
    std::size_t bytes_free() const { return size_ - bytes_in_use_; }
    const std::vector<Ace>& aces() const { return aces_; }

    // AddAce / Add*Ace: out of space fails with ERROR_ALLOTTED_SPACE_EXCEEDED,
    // an index past the end with ERROR_INVALID_PARAMETER. Adding an object ACE
    // raises the revision to 4.
    SysResult<void> Append(Ace ace);
    SysResult<void> Insert(std::size_t index, Ace ace);
    // DeleteAce.
    SysResult<void> Erase(std::size_t index);

    std::vector<std::uint8_t> Serialize() const;

    bool operator==(const Acl&) const = default;

private:
    Acl(std::uint8_t revision, std::uint16_t size) : revision_(revision), size_(size) {}

    std::uint8_t revision_;
    std::uint16_t size_;
    std::size_t bytes_in_use_ = kHeaderSize;
    std::vector<Ace> aces_;
};

}  // namespace telvo::winformat
