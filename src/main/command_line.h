#pragma once

#include <string>
#include <variant>
#include <vector>

#include "common/error.h"
#include "host_prepare/host_command.h"

namespace telvo::app {

struct ControllerMode {};
struct ServiceMode {};
using Mode = std::variant<ControllerMode, ServiceMode, host_prepare::HostCommand>;

// Chooses the mode from the arguments after the program name, checked in
// argument order.
Result<Mode> ParseCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace telvo::app
