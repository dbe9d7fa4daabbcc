#include "host_prepare/profiles_directory.h"

#include <vector>

#include "common/try.h"
#include "winutil/local_path.h"
#include "winformat/ordinal_case.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

constexpr char16_t kProfileListKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char16_t kProfilesDirectoryValue[] = u"ProfilesDirectory";
constexpr std::uint32_t kReadFlags = registry_flag::kRtRegSz | registry_flag::kRtRegExpandSz |
                                     registry_flag::kNoExpand | registry_flag::kSubkeyWow6464Key;
constexpr std::uint32_t kMaxStringBytes = 65536;
constexpr int kMaxSizeChanges = 3;
// Expansion may multiply the text; a Windows path never exceeds this.
constexpr std::size_t kMaxExpandedUnits = 32767;

Result<void> CheckStringSize(std::uint32_t size) {
    if (size % 2 != 0 || size < 2 || size > kMaxStringBytes) return Fail("invalid machine ProfilesDirectory string size");
    return {};
}

// The raw value with its terminator, as UTF-16 units.
Result<std::u16string> ReadRawValue(System& system) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    auto probe = system.RegGetValueW(registry_key::kLocalMachine, kProfileListKey, kProfilesDirectoryValue, kReadFlags,
                                     type, {}, size);
    if (!probe) return FailSys("RegGetValueW(ProfilesDirectory size)", probe.error());
    TELVO_TRY(CheckStringSize(size));

    std::vector<std::uint8_t> buffer(size);
    for (int size_changes = 0;;) {
        auto read = system.RegGetValueW(registry_key::kLocalMachine, kProfileListKey, kProfilesDirectoryValue,
                                        kReadFlags, type, buffer, size);
        if (read) break;
        const SysError error = read.error();
        if (error != SysError::Win32(win32_error::kMoreData) &&
            error != SysError::Win32(win32_error::kInsufficientBuffer)) {
            return FailSys("RegGetValueW(ProfilesDirectory)", error);
        }
        if (++size_changes == kMaxSizeChanges) return Fail("machine ProfilesDirectory changed size repeatedly");
        TELVO_TRY(CheckStringSize(size));
        buffer.assign(size, 0);
    }
    if ((type != registry_type::kSz && type != registry_type::kExpandSz) || size % 2 != 0 || size < 2 ||
        size > buffer.size()) {
        return Fail("invalid machine ProfilesDirectory string type or length");
    }
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    }
    if (units.back() != u'\0' || units.find(u'\0') != units.size() - 1) {
        return Fail("machine ProfilesDirectory is not one terminated string");
    }
    units.pop_back();
    return units;
}

Result<std::u16string> Expand(std::u16string_view text, std::u16string_view windows_directory) {
    // The drive letter as the system drive root names it: upper case.
    const std::u16string system_drive{static_cast<char16_t>(windows_directory[0] & ~0x20), u':'};
    std::u16string expanded;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != u'%') {
            expanded.push_back(text[i++]);
        } else {
            const std::size_t close = text.find(u'%', i + 1);
            if (close == std::u16string_view::npos) return Fail("unterminated ProfilesDirectory variable");
            const std::u16string_view name = text.substr(i + 1, close - i - 1);
            if (winformat::EqualIgnoringCase(name, u"SystemRoot") || winformat::EqualIgnoringCase(name, u"windir")) {
                expanded += windows_directory;
            } else if (winformat::EqualIgnoringCase(name, u"SystemDrive")) {
                expanded += system_drive;
            } else {
                return Fail("unsupported machine ProfilesDirectory variable; caller environment is never expanded");
            }
            i = close + 1;
        }
        if (expanded.size() > kMaxExpandedUnits) return Fail("expanded machine ProfilesDirectory exceeds the supported size");
    }
    return expanded;
}

}  // namespace

Result<std::string> ReadProfilesDirectory(System& system, std::u16string_view windows_directory) {
    TELVO_TRY_ASSIGN(std::u16string raw, ReadRawValue(system));
    TELVO_TRY_ASSIGN(std::u16string expanded, Expand(raw, windows_directory));
    auto path = winformat::Utf16ToUtf8(expanded);
    if (!path || !winutil::IsNormalizedLocalPath(*path)) {
        return Fail("machine ProfilesDirectory is not a normalized absolute local-drive path");
    }
    if (winutil::ParsePathSyntax(*path).components.empty()) {
        return Fail("machine ProfilesDirectory must not be a volume root");
    }
    return std::move(*path);
}

}  // namespace telvo::host_prepare
