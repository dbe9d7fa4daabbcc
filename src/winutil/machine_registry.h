#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::winutil {

// One string value of HKEY_LOCAL_MACHINE as RegGetValueW hands it out with
// `flags` (which select the view, the types taken and RRF_NOEXPAND): the
// text without its terminator, never expanded. The size is probed first and
// read again if the value grows between the calls. Messages name the value:
// "RegGetValueW(<value> size)" and "RegGetValueW(<value>)" (Win32 errors),
// "invalid machine <value> string size", "machine <value> changed size
// repeatedly", "invalid machine <value> string type or length" (a type the
// flags do not take, an odd or empty size), "machine <value> is not one
// terminated string" (a NUL inside or none at the end).
Result<std::u16string> ReadMachineString(platform::System& system, const std::u16string& sub_key,
                                         const std::u16string& value_name, std::uint32_t flags);

}  // namespace telvo::winutil
