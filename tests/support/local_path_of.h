#pragma once

#include <string_view>

#include "winutil/local_path.h"

namespace telvo::testing {

// A test's own path literal as the value the product passes around.
inline winutil::LocalPath PathOf(std::string_view text) { return winutil::LocalPath::FromText(text).value(); }

}  // namespace telvo::testing
