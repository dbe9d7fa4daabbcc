#include "identity/uuid.h"

#include <array>

#include "common/try.h"
#include "identity/hex_text.h"
#include "identity/random_bytes.h"

namespace telvo::identity {

namespace {

constexpr std::size_t kTextLength = 36;
constexpr std::array<std::size_t, 4> kHyphens{8, 13, 18, 23};

bool IsHyphenPosition(std::size_t index) {
    for (const std::size_t hyphen : kHyphens) {
        if (index == hyphen) return true;
    }
    return false;
}

std::uint64_t DigitValue(char c) {
    return c <= '9' ? static_cast<std::uint64_t>(c - '0') : static_cast<std::uint64_t>(c - 'a' + 10);
}

}  // namespace

Result<Uuid> ParseCanonicalUuid(std::string_view text) {
    if (text.size() != kTextLength) return Fail("expected a canonical lowercase UUID");
    Uuid uuid;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHyphenPosition(i)) {
            if (text[i] != '-') return Fail("expected a canonical lowercase UUID");
            continue;
        }
        if (!IsLowerHexDigit(text[i])) return Fail("expected a canonical lowercase UUID");
        std::uint64_t& half = digits < 16 ? uuid.high : uuid.low;
        half = half << 4 | DigitValue(text[i]);
        ++digits;
    }
    if (uuid == Uuid{}) return Fail("zero UUID is not an identity");
    return uuid;
}

Result<std::string> NewUuidText(platform::System& system) {
    std::array<std::uint8_t, 16> bytes{};
    TELVO_TRY(FillRandom(system, bytes));
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    std::size_t start = 0;
    for (const std::size_t end : {4, 6, 8, 10, 16}) {
        if (start != 0) text += '-';
        AppendLowerHex(text, std::span<const std::uint8_t>(bytes).subspan(start, end - start));
        start = end;
    }
    return text;
}

}  // namespace telvo::identity
