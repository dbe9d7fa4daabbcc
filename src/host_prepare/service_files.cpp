#include "host_prepare/service_files.h"

#include <algorithm>

#include "common/try.h"
#include "network_broker/protected_service.h"
#include "platform/unique_handle.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

// Inheritable, so that the temporary copy is never open to more than the directory is.
constexpr std::string_view kDirectorySecurity =
    "O:BAG:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr std::string_view kImageDacl = "D:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x1200a9;;;BU)";
constexpr char16_t kTemporarySuffix[] = u".new";
constexpr std::size_t kChunkBytes = 1u << 20;

Result<std::vector<std::uint8_t>> Descriptor(std::string_view sddl) {
    auto parsed = winformat::ParseSddl(sddl);
    if (!parsed) return Fail(std::move(parsed.error()).Context("network service file descriptor"));
    return parsed->ToSelfRelative();
}

bool IsAbsent(SysError error) {
    return error == SysError::Win32(win32_error::kFileNotFound) || error == SysError::Win32(win32_error::kPathNotFound);
}
bool IsAbsent(const Error& error) { return error.sys() && IsAbsent(*error.sys()); }

std::u16string DirectoryOf(const std::u16string& image_path) { return image_path.substr(0, image_path.rfind(u'\\')); }

Result<std::vector<std::byte>> ReadWhole(Platform& platform, Handle file) {
    std::vector<std::byte> bytes;
    for (;;) {
        if (bytes.size() > kMaxServiceImageBytes) return Fail("network service executable exceeds the supported size");
        const std::size_t filled = bytes.size();
        bytes.resize(filled + kChunkBytes);
        TELVO_TRY_ASSIGN(const std::uint32_t read, Lift("ReadFile(network service executable)",
                                                        platform.kernel.ReadFile(file, std::span(bytes).subspan(filled))));
        bytes.resize(filled + read);
        if (read == 0) return bytes;
    }
}

Result<std::vector<std::byte>> ReadFileAt(Platform& platform, const std::u16string& path) {
    TELVO_TRY_ASSIGN(const std::string text, winformat::Utf16ToUtf8(path));
    TELVO_TRY_ASSIGN(const std::string extended, winutil::ToExtendedPath(text));
    TELVO_TRY_ASSIGN(const UniqueHandle file, winutil::OpenRegularFileForRead(platform, extended));
    return ReadWhole(platform, file.get());
}

Result<void> RequireProtected(Platform& platform, const std::u16string& path, bool directory) {
    TELVO_TRY_ASSIGN(const bool protected_object, network_broker::IsProtectedServiceObject(platform, path, directory));
    if (!protected_object) return Fail(network_broker::kForeignServiceConfiguration);
    return {};
}

// Created (or truncated) with the executable's DACL before a byte is written, filled and flushed.
Result<void> WriteTemporary(Platform& platform, const std::u16string& temporary, std::span<const std::byte> image) {
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> dacl, Descriptor(kImageDacl));
    TELVO_TRY_ASSIGN(const Handle created,
                     Lift("CreateFileW(network service executable)",
                          platform.files.CreateFileW(temporary, file_access::kGenericWrite | file_access::kWriteDac, 0,
                                                     creation_disposition::kCreateAlways,
                                                     file_attribute::kNormal | file_flag::kOpenReparsePoint)));
    UniqueHandle file(platform.kernel, created);
    TELVO_TRY(Lift("NtSetSecurityObject(network service executable)",
                   platform.security.NtSetSecurityObject(file.get(), security_information::kDacl, dacl)));
    std::span<const std::byte> rest = image;
    while (!rest.empty()) {
        TELVO_TRY_ASSIGN(const std::uint32_t written,
                         Lift("WriteFile(network service executable)",
                              platform.kernel.WriteFile(file.get(), rest.first(std::min(rest.size(), kChunkBytes)))));
        if (written == 0 || written > rest.size()) return Fail("WriteFile(network service executable) made no progress");
        rest = rest.subspan(written);
    }
    return Lift("FlushFileBuffers(network service executable)", platform.files.FlushFileBuffers(file.get()));
}

}  // namespace

Result<std::vector<std::byte>> ReadOwnImage(Platform& platform) {
    TELVO_TRY_ASSIGN(const std::u16string own, Lift("QueryFullProcessImageNameW(network setup)",
                                                    platform.processes.QueryFullProcessImageNameW(kCurrentProcess)));
    return ReadFileAt(platform, own);
}

Result<std::optional<std::vector<std::byte>>> ReadInstalledImage(Platform& platform, const std::u16string& image_path) {
    auto read = ReadFileAt(platform, image_path);
    if (!read && IsAbsent(read.error())) return std::optional<std::vector<std::byte>>();
    if (!read) return std::unexpected(std::move(read.error()));
    return std::optional(std::move(*read));
}

Result<void> CheckServiceDirectory(Platform& platform, const std::u16string& image_path) {
    auto checked = RequireProtected(platform, DirectoryOf(image_path), true);
    if (!checked && IsAbsent(checked.error())) return {};
    return checked;
}

Result<void> InstallServiceImage(Platform& platform, const std::u16string& image_path,
                                 std::span<const std::byte> image) {
    const std::u16string directory = DirectoryOf(image_path);
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> directory_descriptor, Descriptor(kDirectorySecurity));
    auto created = platform.files.CreateDirectoryW(directory, directory_descriptor);
    if (!created && created.error() != SysError::Win32(win32_error::kAlreadyExists)) {
        return FailSys("CreateDirectoryW(network service directory)", created.error());
    }
    TELVO_TRY(RequireProtected(platform, directory, true));

    const std::u16string temporary = image_path + kTemporarySuffix;
    auto written = WriteTemporary(platform, temporary, image);
    if (written) {
        auto moved = platform.files.MoveFileExW(temporary, image_path,
                                                movefile_flag::kReplaceExisting | movefile_flag::kWriteThrough);
        if (!moved) written = FailSys("MoveFileExW(network service executable)", moved.error());
    }
    if (!written) {
        (void)platform.files.DeleteFileW(temporary);  // a leftover is replaced or removed by the next run
        return written;
    }
    TELVO_TRY(RequireProtected(platform, image_path, false));
    TELVO_TRY_ASSIGN(const auto installed, ReadInstalledImage(platform, image_path));
    if (!installed || !std::ranges::equal(*installed, image)) {
        return Fail("installed network service executable differs from this executable after copying");
    }
    return {};
}

Result<bool> RemoveServiceImage(Platform& platform, const std::u16string& image_path) {
    TELVO_TRY(CheckServiceDirectory(platform, image_path));
    bool removed = false;
    for (const std::u16string& file : {image_path, image_path + kTemporarySuffix}) {
        auto deleted = platform.files.DeleteFileW(file);
        if (!deleted && !IsAbsent(deleted.error())) {
            return FailSys("DeleteFileW(network service executable)", deleted.error());
        }
        removed = removed || deleted.has_value();
    }
    auto gone = platform.files.RemoveDirectoryW(DirectoryOf(image_path));
    if (!gone && !IsAbsent(gone.error())) return FailSys("RemoveDirectoryW(network service directory)", gone.error());
    return removed || gone.has_value();
}

}  // namespace telvo::host_prepare
