#include "winformat/ordinal_case.h"

namespace telvo::winformat {

namespace {

bool In(char16_t unit, char16_t first, char16_t last) { return unit >= first && unit <= last; }

// Ranges where an upper-case letter at an even (or odd) value is followed by its lower case.
char16_t PairedUpper(char16_t unit, bool upper_is_even) {
    const bool is_odd = (unit & 1) != 0;
    if (upper_is_even) return is_odd ? static_cast<char16_t>(unit - 1) : unit;
    return is_odd ? unit : static_cast<char16_t>(unit - 1);
}

char16_t Minus(char16_t unit, int delta) { return static_cast<char16_t>(unit - delta); }

}  // namespace

char16_t UpcaseUnit(char16_t unit) {
    if (unit < 0x80) return In(unit, u'a', u'z') ? Minus(unit, 32) : unit;
    if (unit == 0xB5) return 0x39C;
    if (In(unit, 0xE0, 0xFE)) return unit == 0xF7 ? unit : Minus(unit, 32);
    if (unit == 0xFF) return 0x178;
    if (In(unit, 0x100, 0x12F) || In(unit, 0x132, 0x137) || In(unit, 0x14A, 0x177)) return PairedUpper(unit, true);
    if (In(unit, 0x139, 0x148) || In(unit, 0x179, 0x17E)) return PairedUpper(unit, false);
    if (unit == 0x3AC) return 0x386;
    if (In(unit, 0x3AD, 0x3AF)) return Minus(unit, 37);
    if (unit == 0x3C2) return 0x3A3;
    if (In(unit, 0x3B1, 0x3CB)) return Minus(unit, 32);
    if (unit == 0x3CC) return 0x38C;
    if (In(unit, 0x3CD, 0x3CE)) return Minus(unit, 63);
    if (In(unit, 0x430, 0x44F)) return Minus(unit, 32);
    if (In(unit, 0x450, 0x45F)) return Minus(unit, 80);
    if (In(unit, 0x460, 0x481) || In(unit, 0x48A, 0x4BF) || In(unit, 0x4D0, 0x52F)) return PairedUpper(unit, true);
    if (In(unit, 0x4C1, 0x4CE)) return PairedUpper(unit, false);
    if (unit == 0x4CF) return 0x4C0;
    if (In(unit, 0x561, 0x586)) return Minus(unit, 48);
    if (In(unit, 0x1E00, 0x1E95) || In(unit, 0x1EA0, 0x1EFF)) return PairedUpper(unit, true);
    if (In(unit, 0xFF41, 0xFF5A)) return Minus(unit, 32);
    return unit;
}

std::u16string Upcased(std::u16string_view text) {
    std::u16string out(text);
    for (auto& unit : out) unit = UpcaseUnit(unit);
    return out;
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
    }
    return true;
}

}  // namespace telvo::winformat
