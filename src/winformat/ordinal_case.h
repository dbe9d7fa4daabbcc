#pragma once

#include <string>
#include <string_view>

namespace telvo::winformat {

// Ordinal comparison with case ignored, as CompareStringOrdinal(..., TRUE) and
// NTFS name lookup do it: each UTF-16 unit is upper-cased on its own (simple
// case mapping, no normalisation, no locale) and the units are compared.
//
// The upper-case table covers ASCII, Latin-1, Latin Extended-A and Extended
// Additional, Greek, Cyrillic, Armenian and the fullwidth Latin letters. Units
// outside these ranges compare exactly, which can only make two names that
// Windows would find equal compare unequal here, never the reverse. The dotless
// i (U+0131) and the long s (U+017F) keep their own values, as in the
// file-system up-case table.
char16_t UpcaseUnit(char16_t unit);
std::u16string Upcased(std::u16string_view text);
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace telvo::winformat
