#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace telvo::winformat {

// Strict conversions: ill-formed input is an error, never replaced.
Result<std::u16string> Utf8ToUtf16(std::string_view text);
Result<std::string> Utf16ToUtf8(std::u16string_view text);

// For messages: UTF-8 in which each unpaired surrogate is shown as "<U+XXXX>"
// (no file name can hold '<'), so that any name a file system holds can be named.
std::string Utf16ToDisplay(std::u16string_view text);

// For text known to be ASCII (names and literals of the program itself).
std::u16string AsciiToUtf16(std::string_view ascii);

}  // namespace telvo::winformat
