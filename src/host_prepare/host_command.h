#pragma once

#include <string>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

enum class HostOperation { status, prepare, remove };
enum class HostSelector { none, network, null_device, drive };

struct HostCommand {
    HostOperation operation = HostOperation::status;
    HostSelector selector = HostSelector::none;
    std::string drive;  // "D:" for the drive selector: upper-case letter and colon
};

// Runs one host command; it prints its own report.
Result<void> RunHostCommand(platform::Platform& platform, const HostCommand& command);

}  // namespace telvo::host_prepare
