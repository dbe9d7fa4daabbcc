#include "platform/win32/win32_files.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/win32/win32_common.h"

#include <winternl.h>

namespace telvo::platform::win32 {

namespace {

std::uint64_t Join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }
std::uint64_t FromFileTime(const FILETIME& time) { return Join(time.dwHighDateTime, time.dwLowDateTime); }

OVERLAPPED OverlappedAt(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033;

// UNICODE_STRING counts bytes in a USHORT.
bool FitsObjectName(const std::u16string& name) { return name.size() * sizeof(char16_t) <= 0xFFFE; }

// OBJECT_ATTRIBUTES{RootDirectory, ObjectName, OBJ_CASE_INSENSITIVE} over a
// copy of the name that lives as long as the attributes.
struct NtObjectName {
    NtObjectName(Handle root, const std::u16string& name, ULONG object_attributes = OBJ_CASE_INSENSITIVE)
        : buffer(name) {
        unicode.Length = static_cast<USHORT>(buffer.size() * sizeof(char16_t));
        unicode.MaximumLength = unicode.Length;
        unicode.Buffer = reinterpret_cast<PWSTR>(buffer.data());
        attributes.Length = sizeof attributes;
        attributes.RootDirectory = ToNative(root);
        attributes.ObjectName = &unicode;
        attributes.Attributes = object_attributes;
    }
    NtObjectName(const NtObjectName&) = delete;
    NtObjectName& operator=(const NtObjectName&) = delete;

    std::u16string buffer;
    UNICODE_STRING unicode{};
    OBJECT_ATTRIBUTES attributes{};
};

// NtOpenFile of an object name with no root directory.
SysResult<Handle> NtOpenByName(const std::u16string& name, ULONG object_attributes, std::uint32_t desired_access,
                               std::uint32_t share_access, std::uint32_t open_options) {
    if (!FitsObjectName(name)) return std::unexpected(SysError::NtStatus(kStatusObjectNameInvalid));
    NtObjectName object(kNullHandle, name, object_attributes);
    IO_STATUS_BLOCK status_block{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        ::NtOpenFile(&opened, desired_access, &object.attributes, &status_block, share_access, open_options);
    if (status < 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return FromNative(opened);
}

// One batch of FILE_ID_BOTH_DIR_INFO records; records are 8-byte aligned in the buffer.
constexpr DWORD kDirectoryBufferBytes = 64 * 1024;

std::vector<DirectoryEntry> ParseDirectoryBatch(const std::byte* buffer) {
    constexpr std::size_t kHeader = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    std::vector<DirectoryEntry> entries;
    std::size_t offset = 0;
    while (offset + kHeader <= kDirectoryBufferBytes) {
        FILE_ID_BOTH_DIR_INFO record;
        std::memcpy(&record, buffer + offset, kHeader);
        if (offset + kHeader + record.FileNameLength > kDirectoryBufferBytes) break;
        DirectoryEntry entry;
        entry.file_name.resize(record.FileNameLength / sizeof(WCHAR));
        std::memcpy(entry.file_name.data(), buffer + offset + kHeader, entry.file_name.size() * sizeof(char16_t));
        entry.file_attributes = record.FileAttributes;
        entry.file_id = static_cast<std::uint64_t>(record.FileId.QuadPart);
        entry.end_of_file = static_cast<std::uint64_t>(record.EndOfFile.QuadPart);
        entries.push_back(std::move(entry));
        if (record.NextEntryOffset == 0) break;
        offset += record.NextEntryOffset;
    }
    return entries;
}

}  // namespace

SysResult<Handle> Win32Files::CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                          std::uint32_t share_mode, std::uint32_t creation_disposition,
                                          std::uint32_t flags_and_attributes) {
    HANDLE handle = ::CreateFileW(Wide(path), desired_access, share_mode, nullptr, creation_disposition,
                                  flags_and_attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    return FromNative(handle);
}

SysResult<Handle> Win32Files::ReOpenFile(Handle original, std::uint32_t desired_access, std::uint32_t share_mode,
                                         std::uint32_t flags_and_attributes) {
    HANDLE handle = ::ReOpenFile(ToNative(original), desired_access, share_mode, flags_and_attributes);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    return FromNative(handle);
}

SysResult<NtCreatedFile> Win32Files::NtCreateFile(Handle root, const std::u16string& name, std::uint32_t desired_access,
                                                 std::uint32_t file_attributes, std::uint32_t share_access,
                                                 std::uint32_t create_disposition, std::uint32_t create_options) {
    if (!FitsObjectName(name)) return std::unexpected(SysError::NtStatus(kStatusObjectNameInvalid));
    NtObjectName object(root, name);
    IO_STATUS_BLOCK status_block{};
    HANDLE opened = nullptr;
    const NTSTATUS status = ::NtCreateFile(&opened, desired_access, &object.attributes, &status_block, nullptr,
                                           file_attributes, share_access, create_disposition, create_options, nullptr, 0);
    if (status < 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return NtCreatedFile{FromNative(opened), static_cast<std::uint64_t>(status_block.Information)};
}

SysResult<void> Win32Files::CreateDirectoryW(const std::u16string& path,
                                             std::span<const std::uint8_t> security_descriptor) {
    // Copied so that Windows gets a writable, aligned descriptor.
    std::vector<std::uint8_t> descriptor(security_descriptor.begin(), security_descriptor.end());
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor.data();
    attributes.bInheritHandle = FALSE;
    if (!::CreateDirectoryW(Wide(path), descriptor.empty() ? nullptr : &attributes)) return LastError();
    return {};
}

SysResult<void> Win32Files::FlushFileBuffers(Handle file) {
    if (!::FlushFileBuffers(ToNative(file))) return LastError();
    return {};
}

SysResult<void> Win32Files::MoveFileExW(const std::u16string& existing, const std::u16string& new_name,
                                        std::uint32_t flags) {
    if (!::MoveFileExW(Wide(existing), Wide(new_name), flags)) return LastError();
    return {};
}

SysResult<void> Win32Files::DeleteFileW(const std::u16string& path) {
    if (!::DeleteFileW(Wide(path))) return LastError();
    return {};
}

SysResult<void> Win32Files::RemoveDirectoryW(const std::u16string& path) {
    if (!::RemoveDirectoryW(Wide(path))) return LastError();
    return {};
}

SysResult<std::uint32_t> Win32Files::GetFinalPathNameByHandleW(Handle file, std::span<char16_t> buffer,
                                                               std::uint32_t flags) {
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    const DWORD result = ::GetFinalPathNameByHandleW(
        ToNative(file), size == 0 ? nullptr : reinterpret_cast<wchar_t*>(buffer.data()), size, flags);
    if (result == 0) return LastError();
    return result;
}

SysResult<FileInformation> Win32Files::GetFileInformationByHandle(Handle file) {
    BY_HANDLE_FILE_INFORMATION native{};
    if (!::GetFileInformationByHandle(ToNative(file), &native)) return LastError();
    FileInformation info;
    info.file_attributes = native.dwFileAttributes;
    info.creation_time = FromFileTime(native.ftCreationTime);
    info.last_access_time = FromFileTime(native.ftLastAccessTime);
    info.last_write_time = FromFileTime(native.ftLastWriteTime);
    info.volume_serial_number = native.dwVolumeSerialNumber;
    info.file_size_high = native.nFileSizeHigh;
    info.file_size_low = native.nFileSizeLow;
    info.number_of_links = native.nNumberOfLinks;
    info.file_index_high = native.nFileIndexHigh;
    info.file_index_low = native.nFileIndexLow;
    return info;
}

SysResult<VolumeInformation> Win32Files::GetVolumeInformationByHandleW(Handle file) {
    VolumeInformation info;
    wchar_t name[MAX_PATH + 1] = {};
    DWORD serial = 0;
    DWORD component = 0;
    DWORD flags = 0;
    if (!::GetVolumeInformationByHandleW(ToNative(file), nullptr, 0, &serial, &component, &flags, name,
                                         MAX_PATH + 1)) {
        return LastError();
    }
    info.volume_serial_number = serial;
    info.maximum_component_length = component;
    info.file_system_flags = flags;
    info.file_system_name = FromWide(name);
    return info;
}

SysResult<std::vector<DirectoryEntry>> Win32Files::GetFileInformationByHandleEx(Handle directory,
                                                                              std::uint32_t information_class) {
    // LONGLONG storage keeps the records' 8-byte alignment.
    std::vector<LONGLONG> buffer(kDirectoryBufferBytes / sizeof(LONGLONG));
    if (!::GetFileInformationByHandleEx(ToNative(directory), static_cast<FILE_INFO_BY_HANDLE_CLASS>(information_class),
                                        buffer.data(), kDirectoryBufferBytes)) {
        return LastError();
    }
    return ParseDirectoryBatch(reinterpret_cast<const std::byte*>(buffer.data()));
}

SysResult<Handle> Win32Files::NtOpenFile(const std::u16string& nt_path, std::uint32_t desired_access,
                                         std::uint32_t share_access, std::uint32_t open_options) {
    return NtOpenByName(nt_path, OBJ_CASE_INSENSITIVE, desired_access, share_access, open_options);
}

SysResult<void> Win32Files::SetFileBasicInfo(Handle file, std::uint32_t attributes) {
    FILE_BASIC_INFO info{};  // zero times: left as they are
    info.FileAttributes = attributes;
    if (!::SetFileInformationByHandle(ToNative(file), FileBasicInfo, &info, sizeof info)) return LastError();
    return {};
}

SysResult<void> Win32Files::SetFileDispositionInfo(Handle file, bool delete_file) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = delete_file ? TRUE : FALSE;
    if (!::SetFileInformationByHandle(ToNative(file), FileDispositionInfo, &info, sizeof info)) return LastError();
    return {};
}

SysResult<AttributeTagInfo> Win32Files::GetFileAttributeTagInfo(Handle file) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(ToNative(file), FileAttributeTagInfo, &info, sizeof info)) return LastError();
    return AttributeTagInfo{info.FileAttributes, info.ReparseTag};
}

SysResult<void> Win32Files::LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) {
    OVERLAPPED overlapped = OverlappedAt(offset);
    if (!::LockFileEx(ToNative(file), flags, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                      &overlapped)) {
        return LastError();
    }
    return {};
}

SysResult<void> Win32Files::UnlockFileEx(Handle file, std::uint64_t offset, std::uint64_t length) {
    OVERLAPPED overlapped = OverlappedAt(offset);
    if (!::UnlockFileEx(ToNative(file), 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                        &overlapped)) {
        return LastError();
    }
    return {};
}

std::uint32_t Win32Files::GetDriveTypeW(const std::u16string& root_path) { return ::GetDriveTypeW(Wide(root_path)); }

SysResult<std::uint32_t> Win32Files::QueryDosDeviceW(const std::u16string& device_name, std::span<char16_t> buffer) {
    const DWORD length = ::QueryDosDeviceW(Wide(device_name), reinterpret_cast<wchar_t*>(buffer.data()),
                                           static_cast<DWORD>(buffer.size()));
    if (length == 0) return LastError();
    return length;
}

SysResult<Handle> Win32Files::NtOpenDevice(const std::u16string& nt_name, std::uint32_t object_attributes,
                                           std::uint32_t desired_access, std::uint32_t share_access,
                                           std::uint32_t open_options) {
    return NtOpenByName(nt_name, object_attributes, desired_access, share_access, open_options);
}

SysResult<std::uint32_t> Win32Files::GetFileType(Handle file) {
    const DWORD type = ::GetFileType(ToNative(file));
    if (type == FILE_TYPE_UNKNOWN) {
        const DWORD error = ::GetLastError();
        if (error != NO_ERROR) return std::unexpected(SysError::Win32(error));
    }
    return type;
}

}  // namespace telvo::platform::win32
