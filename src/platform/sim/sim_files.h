#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/sim/sim_access_check.h"
#include "platform/sim/sim_dos_devices.h"
#include "platform/sim/sim_null_device.h"
#include "platform/sim/sim_file_object.h"
#include "platform/sim/sim_file_tree.h"

namespace telvo::platform::sim {

class SimHost;

// What a test reads back about one object.
struct SimFileFacts {
    std::uint64_t file_index = 0;
    std::uint32_t attributes = 0;
    std::uint32_t link_count = 0;
    std::uint32_t reparse_tag = 0;
    std::string contents;
};

// One name in the tree, as a host file lists it (SimFiles::Objects).
struct SimObjectRecord {
    enum class Kind : std::uint8_t { directory, file, junction, symlink, hardlink };
    std::u16string path;    // X:\Dir\Name as created
    Kind kind = Kind::file;
    bool directory = false;  // a symbolic link to a directory
    std::u16string target;   // a link's target; a hard link's first name
    std::string contents;
    std::vector<std::uint8_t> security_descriptor;  // empty for a hard link (it shares its first name's)
    std::uint64_t file_index = 0;
};

// Simulated volumes and files. The seam calls behave as the Win32 calls do on
// NTFS as far as the system depends on them; what the sim assumes beyond
// windows-notes is written where it is modelled (sim_path.h, sim_file_tree.h,
// sim_file_object.h and below).
//
// - Directories open only with FILE_FLAG_BACKUP_SEMANTICS (ERROR_ACCESS_DENIED
//   otherwise). FILE_FLAG_OPEN_REPARSE_POINT opens a junction or symbolic link
//   itself, and affects only the last name of a path.
// - Final paths are \\?\X:\... (\\?\UNC\server\share\... on a network volume)
//   in the real case of each name, through the name the handle was opened by.
//   Only flags 0 and FILE_NAME_OPENED are modelled (the same answer), and
//   VOLUME_NAME_NT, which names the volume's device instead of its letter
//   (\Device\HarddiskVolume3\dir, a root with its trailing separator);
//   other flags are ERROR_INVALID_PARAMETER.
// - NtOpenDevice opens \Device\Null only (sim_null_device.h), with a full
//   access check; OBJ_DONT_REPARSE is accepted, any other name is
//   STATUS_OBJECT_NAME_NOT_FOUND. GetFileType answers FILE_TYPE_CHAR for the
//   null device, FILE_TYPE_DISK for files and directories.
// - Enumeration returns "." and ".." first in every directory but a volume
//   root, then the names in upper-case order, at most 16 entries per call. A
//   call that finds nothing at all after a restart fails with
//   ERROR_FILE_NOT_FOUND, a later one with ERROR_NO_MORE_FILES (assumed from
//   NtQueryDirectoryFile). Enumerating needs FILE_LIST_DIRECTORY on the handle;
//   enumerating a file is ERROR_INVALID_PARAMETER.
// - File times are fixed; the host does not age files.
class SimFiles final : public Files {
public:
    explicit SimFiles(SimHost& host);

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
    // The same open as CreateFileW's, on \??\X:\... or \\?\X:\..., but for
    // what CreateFileW adds: nothing is added to the access asked for, and a
    // directory opens unless FILE_NON_DIRECTORY_FILE is given. Failures are
    // the NTSTATUS values of the Win32 errors an open gives.
    SysResult<Handle> NtOpenFile(const std::u16string& nt_path, std::uint32_t desired_access,
                                 std::uint32_t share_access, std::uint32_t open_options) override;
    // FileBasicInfo sets the settable attributes (0 leaves them as they are);
    // the handle needs FILE_WRITE_ATTRIBUTES. FileDispositionInfo needs
    // DELETE on the handle and refuses a read-only object (ERROR_ACCESS_DENIED)
    // and a directory that is not empty (ERROR_DIR_NOT_EMPTY); the name stays,
    // delete pending, until the object's last handle closes
    // (SimFileTree::SetDeletePending), and `false` takes the disposition back.
    SysResult<void> SetFileBasicInfo(Handle file, std::uint32_t attributes) override;
    SysResult<void> SetFileDispositionInfo(Handle file, bool delete_file) override;

    // Changing files (sim_file_changes.cpp). The sim has no cache: written
    // data is on "disk" at once, FlushFileBuffers only checks the handle, and
    // MOVEFILE_WRITE_THROUGH changes nothing. MoveFileExW within a volume
    // replaces the target in one step under the tree's lock, so an observer
    // sees the old or the new file, never neither.
    // - The source of a move and the object of a delete are opened for DELETE
    //   sharing everything: an open lacking FILE_SHARE_DELETE that takes part
    //   in sharing makes them fail with ERROR_SHARING_VIOLATION.
    // - A replaced target is superseded the same way (ERROR_SHARING_VIOLATION
    //   while an open lacks FILE_SHARE_DELETE); while any other open of it
    //   remains, the replace fails with ERROR_ACCESS_DENIED, as does replacing
    //   a directory or a read-only file, or moving a directory onto an
    //   existing name. Windows reports either code for a target in use
    //   (windows-notes 8.6); the sim picks one per case as stated here.
    // - Without MOVEFILE_REPLACE_EXISTING an existing target is
    //   ERROR_ALREADY_EXISTS; a move to another volume is ERROR_NOT_SAME_DEVICE
    //   (copying is not modelled, nor are delayed moves: ERROR_INVALID_PARAMETER).
    // - A delete or a removal takes the name away at once, even while opens
    //   that share delete remain (POSIX delete semantics, Windows 10 1903 on).
    //   DeleteFileW refuses a directory or a read-only file with
    //   ERROR_ACCESS_DENIED; RemoveDirectoryW refuses a file with
    //   ERROR_DIRECTORY and a non-empty directory with ERROR_DIR_NOT_EMPTY,
    //   the sharing check coming first. A reparse point is removed itself.
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

    // The null device object and the drive letters that are neither volumes
    // nor SUBST drives (test side).
    SimNullDeviceObject& null_device() { return *null_device_; }
    SimDosDevices& dos_devices() { return dos_devices_; }

    // Test side: set-up and inspection around the seam (not counted, never faulted).
    // Paths are Win32 paths; every name but the last is resolved through
    // reparse points, the last one is taken as it is.
    void AddVolume(SimVolumeSpec spec);
    void AddSubstDrive(char16_t letter, std::u16string target);
    std::vector<SimVolumeSpec> Volumes();
    std::map<char16_t, std::u16string> SubstDrives();
    // Every name below every volume root, each directory before what it
    // holds, in enumeration order. A file's second and later names are hard
    // links to its first.
    std::vector<SimObjectRecord> Objects();
    SysResult<void> MakeDirectory(std::u16string_view path);
    SysResult<void> MakeFile(std::u16string_view path, std::string contents = {});
    SysResult<void> MakeHardLink(std::u16string_view existing, std::u16string_view link);
    SysResult<void> MakeJunction(std::u16string_view path, std::u16string target);
    SysResult<void> MakeSymlink(std::u16string_view path, std::u16string target, bool directory);
    // As another process's MoveFileExW and DeleteFileW / RemoveDirectoryW: they
    // honour sharing and the open objects below a directory.
    SysResult<void> Rename(std::u16string_view from, std::u16string_view to);
    SysResult<void> Remove(std::u16string_view path);
    SysResult<SimFileFacts> Lookup(std::u16string_view path);
    // Every object at and below `root` (its last name not followed), by the
    // names it is reached through, parents first; links are not descended into.
    SysResult<std::vector<std::u16string>> ObjectPaths(std::u16string_view root);
    SysResult<void> SetFileIndex(std::u16string_view path, std::uint64_t file_index);
    // An open made by another process: it shares, conflicts and locks until released.
    SysResult<std::shared_ptr<SimFileObject>> OpenInOtherProcess(std::u16string_view path, std::uint32_t access,
                                                                 std::uint32_t share, std::uint32_t flags);
    SysResult<void> LockInOtherProcess(SimFileObject& file, std::uint64_t offset, std::uint64_t length);

    // Security descriptors of objects (sim_file_security.h), test side. A
    // planted descriptor must parse (ERROR_INVALID_SECURITY_DESCR otherwise);
    // nothing is propagated.
    SysResult<void> SetSecurityDescriptor(std::u16string_view path, std::vector<std::uint8_t> descriptor);
    SysResult<std::vector<std::uint8_t>> SecurityDescriptorOf(std::u16string_view path);
    // What a sandboxed process does with its own token, through the access
    // checks of an open (sim_file_access.h): read a file, replace or create
    // a file's contents, create a directory, delete a file or an empty
    // directory, list a directory. No handle stays open afterwards.
    SysResult<std::string> ReadAs(const SimToken& token, std::u16string_view path);
    SysResult<void> WriteAs(const SimToken& token, std::u16string_view path, std::string text);
    SysResult<void> MakeDirectoryAs(const SimToken& token, std::u16string_view path);
    SysResult<void> DeleteAs(const SimToken& token, std::u16string_view path);
    SysResult<std::vector<std::u16string>> ListAs(const SimToken& token, std::u16string_view path);
    // What a hostile process can do besides: create a file or a directory
    // with a descriptor of its own (FILE_ADD_FILE / FILE_ADD_SUBDIRECTORY on
    // the parent is all it needs), set an object's attributes (it needs
    // FILE_WRITE_ATTRIBUTES), and add a hard link to a file (FILE_ADD_FILE on
    // the new name's parent; the file is opened for FILE_WRITE_ATTRIBUTES,
    // assumed from CreateHardLinkW).
    SysResult<void> CreateWithDescriptorAs(const SimToken& token, std::u16string_view path, bool directory,
                                           const winformat::SecurityDescriptor& descriptor);
    SysResult<void> SetAttributesAs(const SimToken& token, std::u16string_view path, std::uint32_t attributes);
    SysResult<void> LinkAs(const SimToken& token, std::u16string_view existing, std::u16string_view link);

private:
    std::shared_ptr<SimNullDeviceObject> null_device_ = std::make_shared<SimNullDeviceObject>();
    SimDosDevices dos_devices_;
    // The access `token` gets opening (or creating) what `lookup` names.
    // The tree's mutex is held.
    SysResult<std::uint32_t> AccessAs(const TokenIdentity& token, const SimLookup& lookup, std::uint32_t desired,
                                      bool directory, bool backup_intent = false);
    // The calling process's token: the seam calls' opens are checked with it.
    const TokenIdentity& CallerToken() const;
    // What objects the calling process makes take from its token (test-side
    // set-up makes them as the test's current process).
    SimCreator Creator() const;
    SysResult<SimCreator> ExplicitCreator(std::span<const std::uint8_t> security_descriptor) const;
    // An open by the calling process (checked with `caller`), or by another
    // process a test stands in for (`caller` null: nothing is checked).
    // The target a DOS device name maps to (ERROR_FILE_NOT_FOUND for none).
    SysResult<std::u16string> DosDeviceMapping(const std::u16string& device_name);
    SysResult<std::shared_ptr<SimFileObject>> Open(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                                                   std::uint32_t disposition, std::uint32_t flags,
                                                   const TokenIdentity* caller, bool backup_intent);
    SysResult<void> RemoveName(std::u16string_view path, bool directory);
    SysResult<void> MakeReparsePoint(std::u16string_view path, std::uint32_t tag, std::u16string target,
                                     bool directory);
    std::shared_ptr<SimFileObject> Find(Handle handle) const;

    SimHost& host_;
    std::shared_ptr<SimFileTree> tree_;
};

}  // namespace telvo::platform::sim
