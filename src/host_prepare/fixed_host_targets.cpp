#include "host_prepare/fixed_host_targets.h"

#include <optional>
#include <vector>

#include "common/try.h"
#include "winformat/ordinal_case.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/machine_registry.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

constexpr std::size_t kWindowsDirectoryBuffer = 32768;

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

Result<std::u16string> OsWindowsDirectory(System& system) {
    std::vector<char16_t> buffer(kWindowsDirectoryBuffer, u'\0');
    TELVO_TRY_ASSIGN(const std::size_t length,
                     Lift("GetSystemWindowsDirectoryW", system.GetSystemWindowsDirectoryW(buffer)));
    if (length >= buffer.size()) return Fail("OS Windows directory exceeds the supported size");
    std::u16string directory(buffer.data(), length);
    const auto text = winformat::Utf16ToUtf8(directory);
    if (directory.size() < 4 || !IsAsciiLetter(directory[0]) || directory[1] != u':' || directory[2] != u'\\' ||
        !text || !winutil::IsNormalizedLocalPath(*text)) {
        return Fail("the OS Windows directory is not an ordinary local drive path");
    }
    return directory;
}

constexpr char16_t kProfileListKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char16_t kProfilesDirectoryValue[] = u"ProfilesDirectory";
constexpr std::uint32_t kReadFlags = registry_flag::kRtRegSz | registry_flag::kRtRegExpandSz |
                                     registry_flag::kNoExpand | registry_flag::kSubkeyWow6464Key;
// Expansion may multiply the text; a Windows path never exceeds this.
constexpr std::size_t kMaxExpandedUnits = 32767;

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

// The machine profiles directory: the ProfilesDirectory value of the
// ProfileList key, read from the 64-bit view without expansion, with
// %SystemRoot%, %windir% and %SystemDrive% expanded from the OS Windows
// directory and nothing else, below a drive root.
Result<std::string> ProfilesDirectory(System& system, std::u16string_view windows_directory) {
    TELVO_TRY_ASSIGN(std::u16string raw,
                     winutil::ReadMachineString(system, kProfileListKey, kProfilesDirectoryValue, kReadFlags));
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
}  // namespace

Result<std::vector<FixedHostTarget>> ResolveFixedHostTargets(platform::System& system) {
    TELVO_TRY_ASSIGN(std::u16string windows_directory, OsWindowsDirectory(system));
    const char letter = static_cast<char>(windows_directory[0] & ~0x20);  // an ASCII letter, upper-cased
    TELVO_TRY_ASSIGN(std::string profiles, ProfilesDirectory(system, windows_directory));
    return std::vector<FixedHostTarget>{
        {"systemDriveRoot", std::string{letter, ':', '\\'}},
        {"userProfiles", std::move(profiles)},
    };
}

}  // namespace telvo::host_prepare
