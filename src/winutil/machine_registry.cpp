#include "winutil/machine_registry.h"

#include <optional>
#include <vector>

#include "common/size_probe.h"
#include "common/try.h"
#include "winformat/text.h"

namespace telvo::winutil {

namespace {

using namespace platform;

constexpr std::uint32_t kMaxStringBytes = 65536;

Result<void> CheckStringSize(std::uint32_t size, const std::string& name) {
    if (size % 2 != 0 || size < 2 || size > kMaxStringBytes) {
        return Fail("invalid machine " + name + " string size");
    }
    return {};
}

bool TypeTaken(std::uint32_t type, std::uint32_t flags) {
    return (type == registry_type::kSz && (flags & registry_flag::kRtRegSz) != 0) ||
           (type == registry_type::kExpandSz && (flags & registry_flag::kRtRegExpandSz) != 0);
}

}  // namespace

Result<std::u16string> ReadMachineString(System& system, const std::u16string& sub_key,
                                         const std::u16string& value_name, std::uint32_t flags) {
    const std::string name = winformat::Utf16ToUtf8(value_name).value_or("value");
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    TELVO_TRY(Lift("RegGetValueW(" + name + " size)",
                   system.RegGetValueW(registry_key::kLocalMachine, sub_key, value_name, flags, type, {}, size)));
    TELVO_TRY(CheckStringSize(size, name));
    // A value rewritten between the calls is read again at its new size.
    TELVO_TRY_ASSIGN(const auto buffer,
                     ProbeSized(size, kSizeProbeAttempts, "machine " + name + " changed size repeatedly",
                                [&](std::vector<std::uint8_t>& data) -> Result<std::optional<std::size_t>> {
                                    auto read = system.RegGetValueW(registry_key::kLocalMachine, sub_key,
                                                                    value_name, flags, type, data, size);
                                    if (read) return std::optional<std::size_t>();
                                    if (read.error() != SysError::Win32(win32_error::kMoreData) &&
                                        read.error() != SysError::Win32(win32_error::kInsufficientBuffer)) {
                                        return FailSys("RegGetValueW(" + name + ")", read.error());
                                    }
                                    TELVO_TRY(CheckStringSize(size, name));
                                    return std::optional<std::size_t>(size);
                                }));
    if (!TypeTaken(type, flags) || size % 2 != 0 || size < 2 || size > buffer.size()) {
        return Fail("invalid machine " + name + " string type or length");
    }
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    }
    if (units.back() != u'\0' || units.find(u'\0') != units.size() - 1) {
        return Fail("machine " + name + " is not one terminated string");
    }
    units.pop_back();
    return units;
}

}  // namespace telvo::winutil
