#include "host_prepare/fixed_host_targets.h"

#include <vector>

#include "common/try.h"
#include "host_prepare/profiles_directory.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

constexpr std::size_t kWindowsDirectoryBuffer = 32768;

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

Result<std::u16string> OsWindowsDirectory(platform::System& system) {
    std::vector<char16_t> buffer(kWindowsDirectoryBuffer, u'\0');
    auto length = system.GetSystemWindowsDirectoryW(buffer);
    if (!length) return FailSys("GetSystemWindowsDirectoryW", length.error());
    if (*length >= buffer.size()) return Fail("OS Windows directory exceeds the supported size");
    std::u16string directory(buffer.data(), *length);
    const auto text = winformat::Utf16ToUtf8(directory);
    if (directory.size() < 4 || !IsAsciiLetter(directory[0]) || directory[1] != u':' || directory[2] != u'\\' ||
        !text || !winutil::IsNormalizedLocalPath(*text)) {
        return Fail("the OS Windows directory is not an ordinary local drive path");
    }
    return directory;
}

}  // namespace

Result<std::vector<FixedHostTarget>> ResolveFixedHostTargets(platform::System& system) {
    TELVO_TRY_ASSIGN(std::u16string windows_directory, OsWindowsDirectory(system));
    const char letter = static_cast<char>(windows_directory[0] & ~0x20);  // an ASCII letter, upper-cased
    TELVO_TRY_ASSIGN(std::string profiles, ReadProfilesDirectory(system, windows_directory));
    return std::vector<FixedHostTarget>{
        {"systemDriveRoot", std::string{letter, ':', '\\'}},
        {"userProfiles", std::move(profiles)},
    };
}

}  // namespace telvo::host_prepare
