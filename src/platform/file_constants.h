#pragma once

#include <cstdint>

// Values of the Windows file, volume and lock constants the system passes
// through the Files seam (winnt.h, winbase.h, fileapi.h).
namespace telvo::platform {

namespace file_access {
inline constexpr std::uint32_t kReadData = 0x00000001;  // FILE_LIST_DIRECTORY on a directory
inline constexpr std::uint32_t kListDirectory = 0x00000001;
inline constexpr std::uint32_t kWriteData = 0x00000002;
inline constexpr std::uint32_t kAppendData = 0x00000004;
inline constexpr std::uint32_t kReadEa = 0x00000008;
inline constexpr std::uint32_t kWriteEa = 0x00000010;
inline constexpr std::uint32_t kExecute = 0x00000020;
inline constexpr std::uint32_t kDeleteChild = 0x00000040;
inline constexpr std::uint32_t kReadAttributes = 0x00000080;
inline constexpr std::uint32_t kWriteAttributes = 0x00000100;
inline constexpr std::uint32_t kDelete = 0x00010000;
inline constexpr std::uint32_t kReadControl = 0x00020000;
inline constexpr std::uint32_t kWriteDac = 0x00040000;
inline constexpr std::uint32_t kWriteOwner = 0x00080000;
inline constexpr std::uint32_t kSynchronize = 0x00100000;
inline constexpr std::uint32_t kAccessSystemSecurity = 0x01000000;
inline constexpr std::uint32_t kMaximumAllowed = 0x02000000;
inline constexpr std::uint32_t kGenericAll = 0x10000000;
inline constexpr std::uint32_t kGenericExecute = 0x20000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kGenericRead = 0x80000000;
// FILE_GENERIC_READ / WRITE / EXECUTE and FILE_ALL_ACCESS: the file generic mapping.
inline constexpr std::uint32_t kFileGenericRead = 0x00120089;
inline constexpr std::uint32_t kFileGenericWrite = 0x00120116;
inline constexpr std::uint32_t kFileGenericExecute = 0x001200A0;
inline constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
}  // namespace file_access

namespace file_share {
inline constexpr std::uint32_t kRead = 0x1;
inline constexpr std::uint32_t kWrite = 0x2;
inline constexpr std::uint32_t kDelete = 0x4;
}  // namespace file_share

namespace creation_disposition {
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;
}  // namespace creation_disposition

namespace file_flag {
inline constexpr std::uint32_t kWriteThrough = 0x80000000;
inline constexpr std::uint32_t kOverlapped = 0x40000000;
inline constexpr std::uint32_t kDeleteOnClose = 0x04000000;
inline constexpr std::uint32_t kBackupSemantics = 0x02000000;
inline constexpr std::uint32_t kOpenReparsePoint = 0x00200000;
}  // namespace file_flag

// NtOpenFile / NtCreateFile open options.
namespace file_open_option {
inline constexpr std::uint32_t kDirectoryFile = 0x00000001;
inline constexpr std::uint32_t kSynchronousIoNonAlert = 0x00000020;
inline constexpr std::uint32_t kNonDirectoryFile = 0x00000040;
inline constexpr std::uint32_t kOpenForBackupIntent = 0x00004000;
inline constexpr std::uint32_t kOpenReparsePoint = 0x00200000;
}  // namespace file_open_option

// OBJECT_ATTRIBUTES.Attributes values.
namespace object_attribute {
inline constexpr std::uint32_t kCaseInsensitive = 0x00000040;  // OBJ_CASE_INSENSITIVE
inline constexpr std::uint32_t kDontReparse = 0x00001000;      // OBJ_DONT_REPARSE
}  // namespace object_attribute

// GetFileType values.
namespace file_type {
inline constexpr std::uint32_t kUnknown = 0;
inline constexpr std::uint32_t kDisk = 1;
inline constexpr std::uint32_t kChar = 2;
inline constexpr std::uint32_t kPipe = 3;
}  // namespace file_type

namespace file_attribute {
inline constexpr std::uint32_t kReadOnly = 0x00000001;
inline constexpr std::uint32_t kHidden = 0x00000002;
inline constexpr std::uint32_t kSystem = 0x00000004;
inline constexpr std::uint32_t kDirectory = 0x00000010;
inline constexpr std::uint32_t kArchive = 0x00000020;
inline constexpr std::uint32_t kNormal = 0x00000080;
inline constexpr std::uint32_t kReparsePoint = 0x00000400;
}  // namespace file_attribute

namespace reparse_tag {
inline constexpr std::uint32_t kMountPoint = 0xA0000003;  // junction
inline constexpr std::uint32_t kSymlink = 0xA000000C;
// IsReparseTagNameSurrogate: the point stands for another named object.
inline constexpr std::uint32_t kNameSurrogateBit = 0x20000000;
}  // namespace reparse_tag

namespace volume_flag {
inline constexpr std::uint32_t kCaseSensitiveSearch = 0x00000001;
inline constexpr std::uint32_t kCasePreservedNames = 0x00000002;
inline constexpr std::uint32_t kUnicodeOnDisk = 0x00000004;
inline constexpr std::uint32_t kPersistentAcls = 0x00000008;
inline constexpr std::uint32_t kSupportsReparsePoints = 0x00000080;
inline constexpr std::uint32_t kSupportsHardLinks = 0x00400000;
}  // namespace volume_flag

namespace drive_type {
inline constexpr std::uint32_t kUnknown = 0;
inline constexpr std::uint32_t kNoRootDir = 1;
inline constexpr std::uint32_t kRemovable = 2;
inline constexpr std::uint32_t kFixed = 3;
inline constexpr std::uint32_t kRemote = 4;
inline constexpr std::uint32_t kCdRom = 5;
inline constexpr std::uint32_t kRamDisk = 6;
}  // namespace drive_type

namespace movefile_flag {
inline constexpr std::uint32_t kReplaceExisting = 0x1;
inline constexpr std::uint32_t kCopyAllowed = 0x2;
inline constexpr std::uint32_t kDelayUntilReboot = 0x4;
inline constexpr std::uint32_t kWriteThrough = 0x8;
}  // namespace movefile_flag

namespace lock_flag {
inline constexpr std::uint32_t kFailImmediately = 0x1;
inline constexpr std::uint32_t kExclusiveLock = 0x2;
}  // namespace lock_flag

// GetFinalPathNameByHandleW flags; 0 is the normalised name with the DOS volume name.
namespace final_path_flag {
inline constexpr std::uint32_t kNameNormalized = 0x0;
inline constexpr std::uint32_t kVolumeNameDos = 0x0;
inline constexpr std::uint32_t kVolumeNameGuid = 0x1;
inline constexpr std::uint32_t kVolumeNameNt = 0x2;
inline constexpr std::uint32_t kVolumeNameNone = 0x4;
inline constexpr std::uint32_t kNameOpened = 0x8;
}  // namespace final_path_flag

// FILE_INFO_BY_HANDLE_CLASS values.
namespace file_info_class {
inline constexpr std::uint32_t kAttributeTagInfo = 9;
inline constexpr std::uint32_t kIdBothDirectoryInfo = 10;
inline constexpr std::uint32_t kIdBothDirectoryRestartInfo = 11;
}  // namespace file_info_class

// NtCreateFile's CreateDisposition, CreateOptions and the IO_STATUS_BLOCK
// Information it reports.
namespace nt_disposition {
inline constexpr std::uint32_t kOpen = 0x00000001;    // FILE_OPEN
inline constexpr std::uint32_t kCreate = 0x00000002;  // FILE_CREATE
inline constexpr std::uint32_t kOpenIf = 0x00000003;  // FILE_OPEN_IF
}  // namespace nt_disposition
namespace nt_create_option {
inline constexpr std::uint32_t kDirectoryFile = 0x00000001;          // FILE_DIRECTORY_FILE
inline constexpr std::uint32_t kSynchronousIoNonalert = 0x00000020;  // FILE_SYNCHRONOUS_IO_NONALERT
inline constexpr std::uint32_t kOpenForBackupIntent = 0x00004000;    // FILE_OPEN_FOR_BACKUP_INTENT
inline constexpr std::uint32_t kOpenReparsePoint = 0x00200000;       // FILE_OPEN_REPARSE_POINT
}  // namespace nt_create_option
namespace nt_create_result {
inline constexpr std::uint64_t kOpened = 1;   // FILE_OPENED
inline constexpr std::uint64_t kCreated = 2;  // FILE_CREATED
}  // namespace nt_create_result

}  // namespace telvo::platform
