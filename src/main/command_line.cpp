#include "main/command_line.h"

#include <optional>

#include "winformat/text.h"

namespace telvo::app {

namespace {

using host_prepare::HostCommand;
using host_prepare::HostOperation;
using host_prepare::HostSelector;

std::optional<std::string> AsText(const std::u16string& argument) {
    auto text = winformat::Utf16ToUtf8(argument);
    if (!text) return std::nullopt;
    return *text;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

Result<HostOperation> ParseOperation(const std::u16string& argument) {
    const auto text = AsText(argument);
    if (text == "host-status") return HostOperation::status;
    if (text == "host-prepare") return HostOperation::prepare;
    if (text == "host-remove") return HostOperation::remove;
    return Fail("expected host-status, host-prepare, or host-remove");
}

Result<std::string> ParseDrive(const std::u16string& argument) {
    const auto text = AsText(argument);
    if (!text) return Fail("--drive must be ASCII");
    if (text->size() != 2 || !IsAsciiLetter((*text)[0]) || (*text)[1] != ':') {
        return Fail("--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted");
    }
    const char letter = (*text)[0];
    return std::string{static_cast<char>(letter >= 'a' ? letter - ('a' - 'A') : letter), ':'};
}

}  // namespace

Result<Mode> ParseCommandLine(const std::vector<std::u16string>& arguments) {
    if (arguments.empty()) return ControllerMode{};
    if (arguments.size() == 1 && arguments[0] == u"--network-service") return ServiceMode{};

    auto operation = ParseOperation(arguments[0]);
    if (!operation) return std::unexpected(std::move(operation.error()));
    HostCommand command;
    command.operation = *operation;

    std::size_t next = 1;
    if (next < arguments.size()) {
        const auto selector = AsText(arguments[next]);
        if (selector == "--network") {
            command.selector = HostSelector::network;
        } else if (selector == "--null-device") {
            command.selector = HostSelector::null_device;
        } else if (selector == "--drive") {
            command.selector = HostSelector::drive;
            if (next + 1 >= arguments.size()) return Fail("--drive requires one drive letter");
            auto drive = ParseDrive(arguments[++next]);
            if (!drive) return std::unexpected(std::move(drive.error()));
            command.drive = std::move(*drive);
        } else {
            return Fail("only --drive D:, --null-device, or --network is accepted; no paths or commands");
        }
        ++next;
    }
    if (next < arguments.size()) {
        return Fail("host preparation accepts only one selector: --drive D:, --null-device, or --network");
    }
    return command;
}

}  // namespace telvo::app
