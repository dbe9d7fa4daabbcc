#include "identity/identifier_text.h"

#include <algorithm>
#include <array>

#include "common/try.h"
#include "winformat/text.h"

namespace telvo::identity {

namespace {

constexpr std::size_t kUuidTextLength = 36;
constexpr std::array<std::size_t, 4> kUuidHyphens{8, 13, 18, 23};

bool IsHyphenPosition(std::size_t index) { return std::ranges::find(kUuidHyphens, index) != kUuidHyphens.end(); }

std::uint64_t DigitValue(char c) {
    return c <= '9' ? static_cast<std::uint64_t>(c - '0') : static_cast<std::uint64_t>(c - 'a' + 10);
}

}  // namespace

void AppendLowerHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const std::uint8_t byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
}

Result<void> FillRandom(platform::System& system, std::span<std::uint8_t> bytes) {
    return Lift("BCryptGenRandom", system.BCryptGenRandom(bytes, platform::bcrypt_flag::kUseSystemPreferredRng));
}

Result<Uuid> ParseCanonicalUuid(std::string_view text) {
    if (text.size() != kUuidTextLength) return Fail("expected a canonical lowercase UUID");
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

Result<std::string> SidToString(platform::AppContainer& appcontainer, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(const std::u16string text, Lift("ConvertSidToStringSidW", appcontainer.ConvertSidToStringSidW(sid)));
    return winformat::Utf16ToUtf8(text);
}

}  // namespace telvo::identity
