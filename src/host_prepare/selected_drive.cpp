#include "host_prepare/selected_drive.h"

#include <vector>

#include "common/try.h"
#include "platform/file_constants.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

// Both queries receive the whole capacity Windows paths can have.
constexpr std::size_t kQueryUnits = 32768;
constexpr std::string_view kDevicePrefix = "\\Device\\";

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

Result<std::string> ReadMapping(platform::Files& files, std::string_view drive) {
    std::vector<char16_t> buffer(kQueryUnits, u'\0');
    TELVO_TRY_ASSIGN(const std::uint32_t count,
                     Lift("QueryDosDeviceW(selected drive)",
                          files.QueryDosDeviceW(winformat::AsciiToUtf16(drive), buffer)));
    if (count > kQueryUnits) return Fail("invalid selected drive mapping length");
    std::size_t end = 0;
    while (end < count && buffer[end] != u'\0') ++end;
    if (end == count) return Fail("unterminated selected drive mapping");
    // The first string of the multi-string; any further ones are ignored.
    return winformat::Utf16ToUtf8(std::u16string_view(buffer.data(), end));
}

}  // namespace

Result<DriveMapping> ValidateSelectedDrive(platform::Files& files, std::string_view drive) {
    if (drive.size() != 2 || !IsAsciiLetter(drive[0]) || drive[1] != ':') {
        return Fail("--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted");
    }
    const std::u16string root = winformat::AsciiToUtf16(std::string{drive[0], ':', '\\'});
    if (files.GetDriveTypeW(root) != platform::drive_type::kFixed) {
        return Fail("selected drive must be an existing fixed local drive");
    }
    auto read = ReadMapping(files, drive);
    if (!read) return Fail(std::move(read.error()));
    const std::string& mapping = *read;
    if (!mapping.starts_with(kDevicePrefix)) {
        return Fail("selected drive is not a direct volume device; SUBST and redirected paths are not supported");
    }
    const std::string_view name = std::string_view(mapping).substr(kDevicePrefix.size());
    if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string_view("\\/\0", 3)) != std::string_view::npos) {
        return Fail("selected drive mapping contains a directory or redirector");
    }
    return DriveMapping{mapping};
}

Result<void> VerifyOpenedDriveRoot(platform::Files& files, std::string_view drive, const DriveMapping& recorded,
                                   platform::Handle root) {
    TELVO_TRY_ASSIGN(const DriveMapping again, ValidateSelectedDrive(files, drive));
    if (again != recorded) return Fail("selected drive mapping changed while opening its root");
    std::vector<char16_t> buffer(kQueryUnits, u'\0');
    TELVO_TRY_ASSIGN(const std::uint32_t length,
                     Lift("GetFinalPathNameByHandleW(selected drive NT path)",
                          files.GetFinalPathNameByHandleW(root, buffer, platform::final_path_flag::kVolumeNameNt)));
    if (length > kQueryUnits - 1) return Fail("selected drive NT path exceeds supported size");
    TELVO_TRY_ASSIGN(std::string path, winformat::Utf16ToUtf8(std::u16string_view(buffer.data(), length)));
    while (path.ends_with('\\')) path.pop_back();
    const std::string& device = recorded.device;
    bool same = path.size() == device.size();
    for (std::size_t i = 0; same && i < path.size(); ++i) same = AsciiLower(path[i]) == AsciiLower(device[i]);
    if (!same) return Fail("selected drive handle does not refer to the declared volume root");
    return {};
}

}  // namespace telvo::host_prepare
