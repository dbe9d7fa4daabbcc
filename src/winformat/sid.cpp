#include "winformat/sid.h"

#include <charconv>
#include <cstdio>

namespace telvo::winformat {

namespace {

void AppendLittleEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::size_t> ValidSidLength(std::span<const std::uint8_t> buffer) {
    if (buffer.size() < 8 || buffer[0] != 1 || buffer[1] > Sid::kMaxSubAuthorities) return std::nullopt;
    const std::size_t length = 8 + 4 * static_cast<std::size_t>(buffer[1]);
    if (buffer.size() < length) return std::nullopt;
    return length;
}

Result<Sid> Sid::FromBytes(std::span<const std::uint8_t> bytes) {
    const auto length = ValidSidLength(bytes);
    if (!length || *length != bytes.size()) return Fail("invalid SID bytes");
    return Sid(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

Sid Sid::Make(std::uint64_t authority, std::span<const std::uint32_t> sub_authorities) {
    if (sub_authorities.size() > kMaxSubAuthorities || authority >= (std::uint64_t{1} << 48)) {
        throw InternalFault("SID built with too many sub-authorities or too large an authority");
    }
    std::vector<std::uint8_t> bytes{1, static_cast<std::uint8_t>(sub_authorities.size())};
    for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(authority >> shift));
    for (const std::uint32_t sub : sub_authorities) AppendLittleEndian32(bytes, sub);
    return Sid(std::move(bytes));
}

Sid Sid::Make(std::uint64_t authority, std::initializer_list<std::uint32_t> sub_authorities) {
    return Make(authority, std::span<const std::uint32_t>(sub_authorities.begin(), sub_authorities.size()));
}

Result<Sid> Sid::Parse(std::string_view text) {
    const std::string original(text);
    const auto invalid = [&] { return Fail(Error("invalid SID string: " + original)); };
    if (text.size() < 4 || (text.substr(0, 2) != "S-" && text.substr(0, 2) != "s-")) return invalid();
    text.remove_prefix(2);
    std::vector<std::string_view> parts;
    while (true) {
        const auto dash = text.find('-');
        parts.push_back(text.substr(0, dash));
        if (dash == std::string_view::npos) break;
        text.remove_prefix(dash + 1);
        if (parts.size() > 2 + kMaxSubAuthorities) return invalid();
    }
    if (parts.size() < 2 || parts[0] != "1") return invalid();
    const auto authority = ParseNumber(parts[1], (std::uint64_t{1} << 48) - 1);
    if (!authority) return invalid();
    std::vector<std::uint32_t> subs;
    for (std::size_t i = 2; i < parts.size(); ++i) {
        const auto sub = ParseNumber(parts[i], 0xFFFFFFFFu);
        if (!sub) return invalid();
        subs.push_back(static_cast<std::uint32_t>(*sub));
    }
    if (subs.size() > kMaxSubAuthorities) return invalid();
    return Make(*authority, subs);
}

std::uint64_t Sid::authority() const {
    std::uint64_t value = 0;
    for (std::size_t i = 2; i < 8; ++i) value = value << 8 | bytes_[i];
    return value;
}

std::uint32_t Sid::sub_authority(std::size_t index) const {
    const std::size_t at = 8 + 4 * index;
    return static_cast<std::uint32_t>(bytes_[at]) | static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes_[at + 2]) << 16 | static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
}

std::string Sid::ToString() const {
    std::string text = "S-1-";
    const std::uint64_t value = authority();
    if (value >= (std::uint64_t{1} << 32)) {
        char buffer[20];
        std::snprintf(buffer, sizeof buffer, "0x%012llX", static_cast<unsigned long long>(value));
        text += buffer;
    } else {
        text += std::to_string(value);
    }
    for (std::size_t i = 0; i < sub_authority_count(); ++i) {
        text.push_back('-');
        text.append(std::to_string(sub_authority(i)));
    }
    return text;
}

namespace well_known {
Sid World() { return Sid::Make(sid_authority::kWorld, {0}); }
Sid OwnerRights() { return Sid::Make(sid_authority::kCreator, {4}); }
Sid AuthenticatedUsers() { return Sid::Make(sid_authority::kNt, {11}); }
Sid LocalSystem() { return Sid::Make(sid_authority::kNt, {18}); }
Sid Administrators() { return Sid::Make(sid_authority::kNt, {32, 544}); }
Sid Users() { return Sid::Make(sid_authority::kNt, {32, 545}); }
Sid AllApplicationPackages() { return Sid::Make(sid_authority::kAppPackage, {2, 1}); }
Sid AllRestrictedApplicationPackages() { return Sid::Make(sid_authority::kAppPackage, {2, 2}); }
}  // namespace well_known

}  // namespace telvo::winformat
