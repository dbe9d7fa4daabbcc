#pragma once

#include <span>
#include <string_view>

namespace telvo::platform::sim {

// The names under which the simulated host counts its seam calls (the names
// a fault plan takes), in alphabetical order. Every call the sim enters is
// listed; a test holds the list to the sim's sources.
std::span<const std::string_view> SeamCalls();
bool IsSeamCall(std::string_view call);

}  // namespace telvo::platform::sim
