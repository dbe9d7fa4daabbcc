#pragma once

#include "platform/files.h"

namespace telvo::platform::win32 {

class Win32Files final : public Files {
public:
    SysResult<Handle> CreateFileW(const std::u16string& path, std::uint32_t desired_access, std::uint32_t share_mode,
                                  std::uint32_t creation_disposition, std::uint32_t flags_and_attributes) override;
    SysResult<Handle> ReOpenFile(Handle original, std::uint32_t desired_access, std::uint32_t share_mode,
                                 std::uint32_t flags_and_attributes) override;
    using Files::CreateDirectoryW;
    SysResult<NtCreatedFile> NtCreateFile(Handle root, const std::u16string& name, std::uint32_t desired_access,
                                          std::uint32_t file_attributes, std::uint32_t share_access,
                                          std::uint32_t create_disposition, std::uint32_t create_options) override;
    SysResult<void> CreateDirectoryW(const std::u16string& path,
                                     std::span<const std::uint8_t> security_descriptor) override;
    SysResult<Handle> NtOpenFile(const std::u16string& nt_path, std::uint32_t desired_access,
                                 std::uint32_t share_access, std::uint32_t open_options) override;
    SysResult<void> SetFileBasicInfo(Handle file, std::uint32_t attributes) override;
    SysResult<void> SetFileDispositionInfo(Handle file, bool delete_file) override;
    SysResult<void> FlushFileBuffers(Handle file) override;
    SysResult<void> MoveFileExW(const std::u16string& existing, const std::u16string& new_name,
                                std::uint32_t flags) override;
    SysResult<void> DeleteFileW(const std::u16string& path) override;
    SysResult<void> RemoveDirectoryW(const std::u16string& path) override;
    SysResult<std::uint32_t> GetFinalPathNameByHandleW(Handle file, std::span<char16_t> buffer,
                                                       std::uint32_t flags) override;
    SysResult<FileInformation> GetFileInformationByHandle(Handle file) override;
    SysResult<VolumeInformation> GetVolumeInformationByHandleW(Handle file) override;
    SysResult<std::vector<DirectoryEntry>> GetFileInformationByHandleEx(Handle directory,
                                                                      std::uint32_t information_class) override;
    SysResult<AttributeTagInfo> GetFileAttributeTagInfo(Handle file) override;
    SysResult<void> LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) override;
    SysResult<void> UnlockFileEx(Handle file, std::uint64_t offset, std::uint64_t length) override;
    std::uint32_t GetDriveTypeW(const std::u16string& root_path) override;
    SysResult<std::uint32_t> QueryDosDeviceW(const std::u16string& device_name, std::span<char16_t> buffer) override;
    SysResult<Handle> NtOpenDevice(const std::u16string& nt_name, std::uint32_t object_attributes,
                                   std::uint32_t desired_access, std::uint32_t share_access,
                                   std::uint32_t open_options) override;
    SysResult<std::uint32_t> GetFileType(Handle file) override;
};

}  // namespace telvo::platform::win32
