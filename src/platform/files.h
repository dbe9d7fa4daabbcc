#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/file_constants.h"
#include "platform/types.h"

namespace telvo::platform {

// BY_HANDLE_FILE_INFORMATION; times are FILETIME values.
struct FileInformation {
    std::uint32_t file_attributes = 0;
    std::uint64_t creation_time = 0;
    std::uint64_t last_access_time = 0;
    std::uint64_t last_write_time = 0;
    std::uint32_t volume_serial_number = 0;
    std::uint32_t file_size_high = 0;
    std::uint32_t file_size_low = 0;
    std::uint32_t number_of_links = 0;
    std::uint32_t file_index_high = 0;
    std::uint32_t file_index_low = 0;
};

// What GetVolumeInformationByHandleW reports besides the volume name.
struct VolumeInformation {
    std::uint32_t volume_serial_number = 0;
    std::uint32_t maximum_component_length = 0;
    std::uint32_t file_system_flags = 0;
    std::u16string file_system_name;
};

// One FILE_ID_BOTH_DIR_INFO entry. "." and ".." are reported as Windows reports them.
struct DirectoryEntry {
    std::u16string file_name;
    std::uint32_t file_attributes = 0;
    std::uint64_t file_id = 0;
    std::uint64_t end_of_file = 0;
};

// FILE_ATTRIBUTE_TAG_INFO: the reparse tag is meaningful only with
// FILE_ATTRIBUTE_REPARSE_POINT set.
struct AttributeTagInfo {
    std::uint32_t file_attributes = 0;
    std::uint32_t reparse_tag = 0;
};

// What NtCreateFile hands back: the handle, and IO_STATUS_BLOCK.Information
// (nt_create_result: whether the object was opened or created).
struct NtCreatedFile {
    Handle handle = kNullHandle;
    std::uint64_t information = 0;
};

// Files, volumes, directory enumeration and byte-range locks (kernel32).
// Parameters are the Windows values (file_constants.h); no security attributes.
class Files {
public:
    virtual ~Files() = default;

    virtual SysResult<Handle> CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                          std::uint32_t share_mode, std::uint32_t creation_disposition,
                                          std::uint32_t flags_and_attributes) = 0;
    // A second handle to the object `original` refers to, with new access; no path is involved.
    virtual SysResult<Handle> ReOpenFile(Handle original, std::uint32_t desired_access, std::uint32_t share_mode,
                                         std::uint32_t flags_and_attributes) = 0;
    // CreateDirectoryW(path, SECURITY_ATTRIBUTES{descriptor, not inheritable});
    // an empty descriptor passes no security attributes, and the directory
    // takes the creator's default owner and what it inherits.
    virtual SysResult<void> CreateDirectoryW(const std::u16string& path,
                                             std::span<const std::uint8_t> security_descriptor) = 0;
    SysResult<void> CreateDirectoryW(const std::u16string& path) { return CreateDirectoryW(path, {}); }

    // NtCreateFile (ntdll), NTSTATUS kind, with OBJECT_ATTRIBUTES{RootDirectory
    // `root`, ObjectName `name`, OBJ_CASE_INSENSITIVE}: `name` is resolved
    // relative to the open directory `root`, so no path above it is looked
    // up again. No allocation size, extended attributes or descriptor.
    virtual SysResult<NtCreatedFile> NtCreateFile(Handle root, const std::u16string& name,
                                                  std::uint32_t desired_access, std::uint32_t file_attributes,
                                                  std::uint32_t share_access, std::uint32_t create_disposition,
                                                  std::uint32_t create_options) = 0;
    // NtOpenFile (ntdll), NTSTATUS kind, on an NT path (\??\C:\...). Unlike
    // CreateFileW it adds nothing to the access asked for, so an owner whose
    // object's DACL grants it nothing still opens it for READ_CONTROL and
    // WRITE_DAC through the owner's implicit rights.
    virtual SysResult<Handle> NtOpenFile(const std::u16string& nt_path, std::uint32_t desired_access,
                                         std::uint32_t share_access, std::uint32_t open_options) = 0;
    // SetFileInformationByHandle with FileBasicInfo: new attributes, the times
    // left as they are (the handle needs FILE_WRITE_ATTRIBUTES).
    virtual SysResult<void> SetFileBasicInfo(Handle file, std::uint32_t attributes) = 0;
    // SetFileInformationByHandle with FileDispositionInfo: the object is
    // deleted when its last handle closes (the handle needs DELETE).
    virtual SysResult<void> SetFileDispositionInfo(Handle file, bool delete_file) = 0;

    // Changing files: the data written through Kernel::WriteFile reaches the
    // disk with FlushFileBuffers (the handle needs write access); names are
    // replaced and removed with the calls below.
    virtual SysResult<void> FlushFileBuffers(Handle file) = 0;
    // MoveFileExW(existing, new name, movefile_flag values).
    virtual SysResult<void> MoveFileExW(const std::u16string& existing, const std::u16string& new_name,
                                        std::uint32_t flags) = 0;
    virtual SysResult<void> DeleteFileW(const std::u16string& path) = 0;
    virtual SysResult<void> RemoveDirectoryW(const std::u16string& path) = 0;

    // Windows' size-probe contract: when `buffer` (size in UTF-16 units including the
    // terminator) is too small, the needed size including the terminator; when it fits,
    // the length written without the terminator.
    virtual SysResult<std::uint32_t> GetFinalPathNameByHandleW(Handle file, std::span<char16_t> buffer,
                                                               std::uint32_t flags) = 0;
    virtual SysResult<FileInformation> GetFileInformationByHandle(Handle file) = 0;
    virtual SysResult<VolumeInformation> GetVolumeInformationByHandleW(Handle file) = 0;
    // GetFileInformationByHandleEx with FileIdBothDirectoryInfo or FileIdBothDirectoryRestartInfo
    // on a handle opened with FILE_LIST_DIRECTORY: the next batch of entries. The end of the
    // enumeration is ERROR_NO_MORE_FILES (ERROR_FILE_NOT_FOUND when nothing matched at all).
    virtual SysResult<std::vector<DirectoryEntry>> GetFileInformationByHandleEx(Handle directory,
                                                                              std::uint32_t information_class) = 0;
    // GetFileInformationByHandleEx with FileAttributeTagInfo.
    virtual SysResult<AttributeTagInfo> GetFileAttributeTagInfo(Handle file) = 0;

    virtual SysResult<void> LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset,
                                       std::uint64_t length) = 0;
    virtual SysResult<void> UnlockFileEx(Handle file, std::uint64_t offset, std::uint64_t length) = 0;

    // GetDriveTypeW of a root path such as "C:\"; it cannot fail (DRIVE_NO_ROOT_DIR instead).
    virtual std::uint32_t GetDriveTypeW(const std::u16string& root_path) = 0;
    // QueryDosDeviceW of a device name such as "C:" into `buffer`: the
    // number of units stored, the multi-string of its targets with both
    // terminating NULs; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER.
    virtual SysResult<std::uint32_t> QueryDosDeviceW(const std::u16string& device_name,
                                                     std::span<char16_t> buffer) = 0;

    // NtOpenFile (ntdll), NTSTATUS kind, of an NT object name such as
    // \Device\Null with OBJECT_ATTRIBUTES{no root, `nt_name`,
    // `object_attributes` (OBJ_* values)}.
    virtual SysResult<Handle> NtOpenDevice(const std::u16string& nt_name, std::uint32_t object_attributes,
                                           std::uint32_t desired_access, std::uint32_t share_access,
                                           std::uint32_t open_options) = 0;
    // GetFileType: a file_type value; FILE_TYPE_UNKNOWN with an error set fails.
    virtual SysResult<std::uint32_t> GetFileType(Handle file) = 0;
};

}  // namespace telvo::platform
