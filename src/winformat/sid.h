#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace telvo::winformat {

// A SID in its Windows binary layout: revision 1, sub-authority count, the
// 48-bit identifier authority big-endian, then the sub-authorities little-endian.
class Sid {
public:
    static constexpr std::size_t kMaxSubAuthorities = 15;
    static constexpr std::size_t kMaxSize = 8 + 4 * kMaxSubAuthorities;  // SECURITY_MAX_SID_SIZE

    // The bytes must hold exactly one valid SID.
    static Result<Sid> FromBytes(std::span<const std::uint8_t> bytes);
    // "S-1-<authority>-<sub>..." with decimal parts (an authority of 2^32 or more may be 0x-hex).
    static Result<Sid> Parse(std::string_view text);
    static Sid Make(std::uint64_t authority, std::initializer_list<std::uint32_t> sub_authorities);
    static Sid Make(std::uint64_t authority, std::span<const std::uint32_t> sub_authorities);

    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    std::uint8_t sub_authority_count() const { return bytes_[1]; }
    std::uint64_t authority() const;
    std::uint32_t sub_authority(std::size_t index) const;

    // The string form as ConvertSidToStringSidW writes it.
    std::string ToString() const;

    bool operator==(const Sid&) const = default;

private:
    explicit Sid(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::vector<std::uint8_t> bytes_;
};

// The length of the valid SID at the start of `buffer` (IsValidSid over a
// prefix), or nothing when the bytes are not a SID or run past the buffer.
std::optional<std::size_t> ValidSidLength(std::span<const std::uint8_t> buffer);

namespace sid_authority {
inline constexpr std::uint64_t kNull = 0;
inline constexpr std::uint64_t kWorld = 1;
inline constexpr std::uint64_t kCreator = 3;
inline constexpr std::uint64_t kNt = 5;
inline constexpr std::uint64_t kAppPackage = 15;
inline constexpr std::uint64_t kMandatoryLabel = 16;
}  // namespace sid_authority

// Well-known SIDs, as CreateWellKnownSid builds them.
namespace well_known {
Sid World();               // S-1-1-0
Sid OwnerRights();         // S-1-3-4
Sid AuthenticatedUsers();  // S-1-5-11
Sid LocalSystem();         // S-1-5-18
Sid Administrators();      // S-1-5-32-544
Sid Users();               // S-1-5-32-545
Sid AllApplicationPackages();            // S-1-15-2-1
Sid AllRestrictedApplicationPackages();  // S-1-15-2-2
}  // namespace well_known

}  // namespace telvo::winformat
