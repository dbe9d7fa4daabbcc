#include "winutil/object_open.h"

#include <algorithm>
#include <string>

#include "common/size_probe.h"
#include "common/try.h"
#include "winformat/text.h"
#include "winutil/local_path.h"

namespace telvo::winutil {

using namespace platform;

namespace {

// Room for a MAX_PATH path and its terminator: most final paths fit at once.
constexpr std::size_t kFirstCallUnits = 261;
// Windows paths end at 32767 UTF-16 units; a larger answer is not a path.
constexpr std::uint32_t kMaxPathUnits = 32768;

}  // namespace

Result<UniqueHandle> OpenObjectNoFollow(Platform& platform, std::u16string_view path, bool with_write_dac) {
    const std::uint32_t access = file_access::kReadControl | (with_write_dac ? file_access::kWriteDac : 0);
    auto handle = platform.files.CreateFileW(std::u16string(path), access, file_share::kRead | file_share::kWrite,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (!handle) return FailSys("CreateFileW(" + winformat::Utf16ToDisplay(path) + ")", handle.error());
    return UniqueHandle(platform.kernel, *handle);
}

Result<UniqueHandle> OpenObjectNoFollow(Platform& platform, std::string_view path, bool with_write_dac) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    return OpenObjectNoFollow(platform, std::u16string_view(wide), with_write_dac);
}

SysResult<Handle> NtOpenObjectNoFollow(Platform& platform, std::u16string_view path, bool with_write_dac) {
    std::u16string nt_path(path);
    if (nt_path.starts_with(u"\\\\?\\")) nt_path.replace(0, 4, u"\\??\\");
    const std::uint32_t access =
        file_access::kReadControl | file_access::kReadAttributes | (with_write_dac ? file_access::kWriteDac : 0);
    return platform.files.NtOpenFile(nt_path, access, file_share::kRead | file_share::kWrite,
                                     file_open_option::kOpenReparsePoint | file_open_option::kOpenForBackupIntent);
}

Result<std::u16string> ReadFinalPath(Files& files, Handle handle, std::size_t expected_units) {
    const std::size_t first_units = std::max(kFirstCallUnits, expected_units + 1);
    std::vector<char16_t> first(first_units, u'\0');
    auto probe = Lift("GetFinalPathNameByHandleW(size)",
                      files.GetFinalPathNameByHandleW(handle, first, final_path_flag::kNameNormalized));
    if (!probe) return std::unexpected(std::move(probe.error()));
    if (*probe < first.size()) return std::u16string(first.data(), *probe);

    std::uint32_t length = 0;
    auto buffer = ProbeSized<char16_t>(
        std::size_t{*probe} + 1, kSizeProbeAttempts, "final path changed size repeatedly",
        [&](std::span<char16_t> units) -> Result<std::optional<std::size_t>> {
            if (units.size() > kMaxPathUnits + 1) {
                return Fail("GetFinalPathNameByHandleW returned invalid size " + std::to_string(units.size() - 1));
            }
            TELVO_TRY_ASSIGN(length, Lift("GetFinalPathNameByHandleW", files.GetFinalPathNameByHandleW(
                                                                            handle, units,
                                                                            final_path_flag::kNameNormalized)));
            if (length < units.size()) return std::nullopt;
            return std::optional<std::size_t>(std::size_t{length} + 1);  // the path grew between the calls
        });
    if (!buffer) return std::unexpected(std::move(buffer.error()));
    return std::u16string(buffer->data(), length);
}

Result<void> VerifyFinalPath(Files& files, Handle handle, std::u16string_view expected) {
    TELVO_TRY_ASSIGN(std::u16string final_path, ReadFinalPath(files, handle, expected.size()));
    if (!PathsEqual(final_path, expected)) {
        return Fail("path identity changed while establishing the sandbox: expected " +
                    winformat::Utf16ToDisplay(expected) + ", opened " + winformat::Utf16ToDisplay(final_path));
    }
    return {};
}

Result<void> VerifyFinalPath(Files& files, Handle handle, std::string_view expected) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(expected));
    return VerifyFinalPath(files, handle, std::u16string_view(wide));
}

Result<FileInformation> ReadFileInformation(Files& files, Handle handle) {
    return Lift("GetFileInformationByHandle", files.GetFileInformationByHandle(handle));
}

bool IsLinkedObject(const FileInformation& info) {
    return (info.file_attributes & file_attribute::kReparsePoint) != 0 || info.number_of_links >= 2;
}

Result<FileIdentity> CheckStableIdentity(const FileInformation& info, std::string_view path) {
    if (info.file_attributes & file_attribute::kReparsePoint) {
        return Fail("reparse points are not accepted in a Windows sandbox authority: " + std::string(path));
    }
    if (info.number_of_links >= 2) {
        return Fail("hard-linked objects are not accepted in a Windows sandbox authority: " + std::string(path));
    }
    return FileIdentity{info.volume_serial_number,
                        (std::uint64_t{info.file_index_high} << 32) | info.file_index_low};
}

Result<FileIdentity> StableIdentity(Files& files, Handle handle, std::string_view path) {
    TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(files, handle));
    return CheckStableIdentity(info, path);
}

Result<void> RequirePersistentAcls(Files& files, Handle handle, std::string_view path) {
    TELVO_TRY_ASSIGN(VolumeInformation volume, Lift("GetVolumeInformationByHandleW(" + std::string(path) + ")",
                                                    files.GetVolumeInformationByHandleW(handle)));
    if (!(volume.file_system_flags & volume_flag::kPersistentAcls)) {
        return Fail("the filesystem does not provide persistent ACLs: " + std::string(path));
    }
    return {};
}

Result<UniqueHandle> OpenRegularFileForRead(Platform& platform, std::string_view path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    TELVO_TRY_ASSIGN(Handle opened, Lift("CreateFileW(read " + std::string(path) + ")",
                                         platform.files.CreateFileW(wide, file_access::kFileGenericRead,
                                                                    file_share::kRead,
                                                                    creation_disposition::kOpenExisting,
                                                                    file_flag::kOpenReparsePoint)));
    UniqueHandle handle(platform.kernel, opened);
    TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), std::u16string_view(wide)));
    TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform.files, handle.get()));
    TELVO_TRY(CheckStableIdentity(info, path));
    if (info.file_attributes & file_attribute::kDirectory) return Fail("expected a regular file: " + std::string(path));
    return handle;
}

}  // namespace telvo::winutil
