#include "telvo_sim/sim_options.h"

#include <charconv>
#include <string_view>

#include "common/try.h"
#include "platform/sim/fault_plan.h"
#include "platform/sim/seam_calls.h"

namespace telvo::telvo_sim {

namespace {

// A whole decimal or (with `hex`) 0x-hexadecimal number that fits `limit`.
std::optional<std::uint64_t> Number(std::string_view text, bool hex, std::uint64_t limit) {
    if (hex) {
        if (!text.starts_with("0x") && !text.starts_with("0X")) return std::nullopt;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, hex ? 16 : 10);
    if (error != std::errc() || end != text.data() + text.size() || value > limit) return std::nullopt;
    return value;
}

Result<PlannedFailure> Failure(std::string_view spec) {
    const std::string shown = "--fail " + std::string(spec);
    // The call's name may itself hold a colon; the count and the code are the last two fields.
    const std::size_t code_colon = spec.rfind(':');
    const std::size_t nth_colon = code_colon == std::string_view::npos || code_colon == 0
                                      ? std::string_view::npos
                                      : spec.rfind(':', code_colon - 1);
    if (nth_colon == std::string_view::npos || nth_colon == 0) return Fail(shown + ": expected CALL:N:CODE");
    PlannedFailure failure;
    failure.call = std::string(spec.substr(0, nth_colon));
    if (!platform::sim::IsSeamCall(failure.call)) {
        return Fail(shown + ": the helper makes no seam call " + failure.call + " (telvo-sim --list-calls lists them)");
    }
    const auto nth = Number(spec.substr(nth_colon + 1, code_colon - nth_colon - 1), false, UINT64_MAX);
    if (!nth || *nth == 0) return Fail(shown + ": N must be a whole number from 1");
    failure.nth = *nth;
    const std::string_view code = spec.substr(code_colon + 1);
    const SysError::Kind kind = platform::sim::ErrorKindOfCall(failure.call);
    const auto value = Number(code, kind != SysError::Kind::win32, UINT32_MAX);
    if (!value || *value == 0) {
        return Fail(shown + (kind == SysError::Kind::win32
                                 ? ": " + failure.call + " fails with a Win32 error: give a decimal code other than 0"
                                 : ": " + failure.call + " fails with an " +
                                       (kind == SysError::Kind::hresult ? "HRESULT" : "NTSTATUS") +
                                       ": give a 0x-hexadecimal code other than 0"));
    }
    failure.error = SysError{kind, static_cast<std::uint32_t>(*value)};
    return failure;
}

}  // namespace

Result<SimOptions> ParseSimOptions(const std::vector<std::string>& arguments) {
    SimOptions options;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (!argument.starts_with("-")) break;
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        std::optional<std::string> inline_value;
        if (equals != std::string::npos) inline_value = argument.substr(equals + 1);
        const auto value = [&]() -> Result<std::string> {
            if (inline_value) return *inline_value;
            if (i + 1 == arguments.size()) return Fail(name + " needs a value");
            return arguments[++i];
        };
        const auto once = [&](auto& slot) -> Result<void> {
            if (slot) return Fail(name + " is given twice");
            return {};
        };
        if (name == "--host" || name == "--state-out" || name == "--calls-out") {
            auto& slot = name == "--host" ? options.host_file
                         : name == "--state-out" ? options.state_out
                                                 : options.calls_out;
            TELVO_TRY(once(slot));
            TELVO_TRY_ASSIGN(slot, value());
            if (slot->empty()) return Fail(name + " needs a file name");
        } else if (name == "--changes") {
            if (options.changes != ChangesFormat::none) return Fail("--changes is given twice");
            if (!inline_value || *inline_value == "text") {
                options.changes = ChangesFormat::text;
            } else if (*inline_value == "json") {
                options.changes = ChangesFormat::json;
            } else {
                return Fail("--changes=" + *inline_value + ": the report is text or json");
            }
        } else if (name == "--help" || name == "--list-calls") {
            if (inline_value) return Fail(name + " takes no value");
            (name == "--help" ? options.help : options.list_calls) = true;
        } else if (name == "--fail") {
            TELVO_TRY_ASSIGN(const std::string spec, value());
            TELVO_TRY_ASSIGN(auto failure, Failure(spec));
            options.failures.push_back(std::move(failure));
        } else if (name == "--crash-after") {
            TELVO_TRY(once(options.crash_after));
            TELVO_TRY_ASSIGN(const std::string count, value());
            const auto n = Number(count, false, UINT64_MAX - 1);
            if (!n || *n == 0) return Fail("--crash-after " + count + ": N must be a whole number from 1");
            options.crash_after = *n;
        } else {
            return Fail("unknown option " + name + " (the helper's own arguments go after --)");
        }
    }
    options.helper_arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
    return options;
}

}  // namespace telvo::telvo_sim
