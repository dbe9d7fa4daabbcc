#include "platform/sim/sim_files.h"

#include <algorithm>

#include "common/try.h"
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_null_device.h"
#include "platform/sim/sim_path.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {

constexpr std::size_t kEntriesPerCall = 16;
// 2023-06-01 00:00 UTC as a FILETIME.
constexpr std::uint64_t kFixedFileTime = 133300800000000000;
constexpr std::uint32_t kSettableAttributes =
    file_attribute::kReadOnly | file_attribute::kHidden | file_attribute::kSystem;
// A path past 32767 UTF-16 units cannot be named at all.
constexpr std::size_t kMaxPathUnits = 32767;
constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033;
constexpr std::uint32_t kStatusNotADirectory = 0xC0000103;
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;

// The NTSTATUS behind the Win32 error an open reports (RtlNtStatusToDosError
// read backwards for the errors the sim's opens give).
std::uint32_t NtStatusOfOpenError(std::uint32_t win32) {
    switch (win32) {
        case win32_error::kAccessDenied: return 0xC0000022;        // STATUS_ACCESS_DENIED
        case win32_error::kFileNotFound: return 0xC0000034;        // STATUS_OBJECT_NAME_NOT_FOUND
        case win32_error::kPathNotFound: return 0xC000003A;        // STATUS_OBJECT_PATH_NOT_FOUND
        case win32_error::kSharingViolation: return 0xC0000043;    // STATUS_SHARING_VIOLATION
        case win32_error::kInvalidName:
        case win32_error::kFilenameExcedRange: return kStatusObjectNameInvalid;
        case win32_error::kPrivilegeNotHeld: return 0xC0000061;    // STATUS_PRIVILEGE_NOT_HELD
        case win32_error::kCantResolveFilename: return 0xC0000280; // STATUS_REPARSE_POINT_NOT_RESOLVED
        default: return 0xC0000001;                                // STATUS_UNSUCCESSFUL
    }
}


DirectoryEntry EntryFor(std::u16string name, const SimNode& node) {
    return {std::move(name), node.attributes, node.file_index, node.contents.size()};
}

// Existing objects: checks of the disposition and of directory opens.
SysResult<void> CheckExistingOpen(SimFileTree& tree, const SimLink& link, std::uint32_t access, std::uint32_t share,
                                  std::uint32_t disposition, std::uint32_t flags) {
    SimNode& node = *link.node;
    using namespace creation_disposition;
    if (disposition == kCreateNew) return Win32Failure(win32_error::kFileExists);
    const bool truncates = disposition == kCreateAlways || disposition == kTruncateExisting;
    if (IsDeletePending(node)) return Win32Failure(win32_error::kAccessDenied);
    if (node.directory && (!(flags & file_flag::kBackupSemantics) || truncates)) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    if ((node.attributes & file_attribute::kReadOnly) &&
        (access & (file_access::kWriteData | file_access::kAppendData))) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    TELVO_TRY(CheckSharing(node, access, share));
    if (truncates && !node.contents.empty()) {
        node.contents.clear();
        tree.NoteWritten(link);
    }
    return {};
}

}  // namespace

SimFiles::SimFiles(SimHost& host) : host_(host), tree_(std::make_shared<SimFileTree>(host.changes())) {}

std::shared_ptr<SimFileObject> SimFiles::Find(Handle handle) const {
    return host_.handles().FindAs<SimFileObject>(handle);
}

SysResult<std::shared_ptr<SimFileObject>> SimFiles::Open(std::u16string_view path, std::uint32_t access,
                                                         std::uint32_t share, std::uint32_t disposition,
                                                         std::uint32_t flags, const TokenIdentity* caller,
                                                         bool backup_intent) {
    using namespace creation_disposition;
    if (disposition < kCreateNew || disposition > kTruncateExisting) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    if (path.size() > kMaxPathUnits) return Win32Failure(win32_error::kFilenameExcedRange);
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, !(flags & file_flag::kOpenReparsePoint)));
    const bool creating = !lookup.link;
    if (creating && (disposition == kOpenExisting || disposition == kTruncateExisting)) {
        return Win32Failure(win32_error::kFileNotFound);
    }
    std::uint32_t granted = MapFileAccess(access);
    if (caller) {
        TELVO_TRY_ASSIGN(granted, AccessAs(*caller, lookup, access, creating ? false : lookup.link->node->directory,
                                           backup_intent));
        // A read-only file keeps its data: MAXIMUM_ALLOWED just loses the write bits.
        if (!creating && (access & file_access::kMaximumAllowed) &&
            (lookup.link->node->attributes & file_attribute::kReadOnly)) {
            granted &= ~(file_access::kWriteData | file_access::kAppendData);
        }
    }
    std::shared_ptr<SimLink> link = lookup.link;
    if (link) {
        TELVO_TRY(CheckExistingOpen(*tree_, *link, granted, share, disposition, flags));
    } else {
        TELVO_TRY_ASSIGN(link, tree_->AddChild(lookup, false, file_attribute::kArchive | (flags & kSettableAttributes), Creator()));
    }
    return std::make_shared<SimFileObject>(tree_, std::move(link), granted, share);
}

const TokenIdentity& SimFiles::CallerToken() const { return host_.security().ProcessToken().identity; }

SimCreator SimFiles::Creator() const {
    return SimCreator::Of(host_.security().ProcessToken());
}

// The creator with what a descriptor given at creation names: its owner,
// which the token must be allowed to assign (ERROR_INVALID_OWNER), and its
// DACL, which the object then takes as it is.
SysResult<SimCreator> SimFiles::ExplicitCreator(std::span<const std::uint8_t> security_descriptor) const {
    SimCreator creator = Creator();
    if (security_descriptor.empty()) return creator;
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(security_descriptor);
    if (!parsed) return Win32Failure(win32_error::kInvalidSecurityDescr);
    if (parsed->owner) {
        if (!host_.security().ProcessToken().MayAssignOwner(*parsed->owner)) {
            return Win32Failure(win32_error::kInvalidOwner);
        }
        creator.owner = *parsed->owner;
    }
    creator.given = std::move(*parsed);
    return creator;
}

SysResult<Handle> SimFiles::CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                        std::uint32_t share_mode, std::uint32_t creation_disposition,
                                        std::uint32_t flags_and_attributes) {
    TELVO_SIM_ENTER(host_, "CreateFileW", {desired_access, share_mode, creation_disposition, flags_and_attributes});
    if (SimPipes::IsPipeName(path)) {
        return host_.pipes().OpenClientEnd(path, desired_access, creation_disposition, flags_and_attributes);
    }
    if (SimNullDevice::Names(path)) {
        TELVO_TRY_ASSIGN(const std::uint32_t granted,
                         null_device_->CheckOpen(CallerToken(), MapFileAccess(desired_access) | file_access::kSynchronize |
                                                                   file_access::kReadAttributes));
        return host_.handles().Add(std::make_shared<SimNullDevice>(granted, null_device_));
    }
    // CreateFileW asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides what
    // its caller asks for (windows-notes 10.4 item 8).
    const std::uint32_t access = desired_access | file_access::kSynchronize | file_access::kReadAttributes;
    TELVO_TRY_ASSIGN(auto file, Open(path, access, share_mode, creation_disposition, flags_and_attributes,
                                     &CallerToken(), (flags_and_attributes & file_flag::kBackupSemantics) != 0));
    return host_.handles().Add(std::move(file));
}

SysResult<Handle> SimFiles::NtOpenFile(const std::u16string& nt_path, std::uint32_t desired_access,
                                       std::uint32_t share_access, std::uint32_t open_options) {
    TELVO_SIM_ENTER(host_, "NtOpenFile", {desired_access, share_access, open_options});
    std::u16string path = nt_path;
    if (path.starts_with(u"\\??\\")) path.replace(0, 4, u"\\\\?\\");
    if (!path.starts_with(u"\\\\?\\")) return std::unexpected(SysError::NtStatus(kStatusObjectNameInvalid));
    std::uint32_t flags = file_flag::kOpenReparsePoint * ((open_options & file_open_option::kOpenReparsePoint) != 0);
    if (!(open_options & file_open_option::kNonDirectoryFile)) flags |= file_flag::kBackupSemantics;
    auto file = Open(path, desired_access, share_access, creation_disposition::kOpenExisting, flags, &CallerToken(),
                     (open_options & file_open_option::kOpenForBackupIntent) != 0);
    if (!file) return std::unexpected(SysError::NtStatus(NtStatusOfOpenError(file.error().code)));
    if ((open_options & file_open_option::kDirectoryFile) && !(*file)->node()->directory) {
        return std::unexpected(SysError::NtStatus(kStatusNotADirectory));
    }
    return host_.handles().Add(std::move(*file));
}

SysResult<void> SimFiles::SetFileBasicInfo(Handle file, std::uint32_t attributes) {
    TELVO_SIM_ENTER(host_, "SetFileBasicInfo", {attributes});
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    if (!(object->access() & file_access::kWriteAttributes)) return Win32Failure(win32_error::kAccessDenied);
    std::lock_guard lock(tree_->mutex);
    if (object->link()->removed) return Win32Failure(win32_error::kAccessDenied);
    if (attributes != 0) tree_->SetAttributes(*object->link(), attributes & kSettableAttributes);
    return {};
}

SysResult<void> SimFiles::SetFileDispositionInfo(Handle file, bool delete_file) {
    TELVO_SIM_ENTER(host_, "SetFileDispositionInfo", {delete_file ? 1u : 0u});
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    if (!(object->access() & file_access::kDelete)) return Win32Failure(win32_error::kAccessDenied);
    std::lock_guard lock(tree_->mutex);
    if (delete_file && (object->node()->attributes & file_attribute::kReadOnly)) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    return tree_->SetDeletePending(object->link(), delete_file);
}

SysResult<Handle> SimFiles::ReOpenFile(Handle original, std::uint32_t desired_access, std::uint32_t share_mode,
                                       std::uint32_t flags_and_attributes) {
    TELVO_SIM_ENTER(host_, "ReOpenFile");
    auto file = Find(original);
    if (!file) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    if (file->link()->removed) return Win32Failure(win32_error::kAccessDenied);
    TELVO_TRY_ASSIGN(const std::uint32_t access,
                     AccessAs(CallerToken(), NameOf(file->link()), desired_access, file->node()->directory,
                              (flags_and_attributes & file_flag::kBackupSemantics) != 0));
    TELVO_TRY(CheckExistingOpen(*tree_, *file->link(), access, share_mode, creation_disposition::kOpenExisting,
                                flags_and_attributes));
    return host_.handles().Add(std::make_shared<SimFileObject>(tree_, file->link(), access, share_mode));
}

SysResult<void> SimFiles::CreateDirectoryW(const std::u16string& path,
                                           std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "CreateDirectoryW", {security_descriptor.size()});
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    if (lookup.link) return Win32Failure(win32_error::kAlreadyExists);
    TELVO_TRY(AccessAs(CallerToken(), lookup, 0, true));
    TELVO_TRY_ASSIGN(SimCreator creator, ExplicitCreator(security_descriptor));
    TELVO_TRY(tree_->AddChild(lookup, true, 0, creator));
    return {};
}

SysResult<std::uint32_t> SimFiles::GetFinalPathNameByHandleW(Handle file, std::span<char16_t> buffer,
                                                             std::uint32_t flags) {
    TELVO_SIM_ENTER(host_, "GetFinalPathNameByHandleW");
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    if (flags & ~(final_path_flag::kNameOpened | final_path_flag::kVolumeNameNt)) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    std::u16string path;
    {
        std::lock_guard lock(tree_->mutex);
        TELVO_TRY_ASSIGN(path, tree_->FinalPath(*object->link()));
        if (flags & final_path_flag::kVolumeNameNt) {
            // \\?\X:\rest -> <device>\rest (a root keeps its separator).
            const std::u16string& root = object->node()->volume->spec.root;
            path = object->node()->volume->spec.device + path.substr(4 + root.size());
        }
    }
    if (buffer.size() <= path.size()) return static_cast<std::uint32_t>(path.size() + 1);
    std::copy(path.begin(), path.end(), buffer.begin());
    buffer[path.size()] = u'\0';
    return static_cast<std::uint32_t>(path.size());
}

SysResult<FileInformation> SimFiles::GetFileInformationByHandle(Handle file) {
    TELVO_SIM_ENTER(host_, "GetFileInformationByHandle");
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    const SimNode& node = *object->node();
    FileInformation info;
    info.file_attributes = node.attributes == 0 ? file_attribute::kNormal : node.attributes;
    info.creation_time = info.last_access_time = info.last_write_time = kFixedFileTime;
    info.volume_serial_number = node.volume->spec.serial;
    info.file_size_high = static_cast<std::uint32_t>(node.contents.size() >> 32);
    info.file_size_low = static_cast<std::uint32_t>(node.contents.size());
    info.number_of_links = node.link_count;
    info.file_index_high = static_cast<std::uint32_t>(node.file_index >> 32);
    info.file_index_low = static_cast<std::uint32_t>(node.file_index);
    return info;
}

SysResult<VolumeInformation> SimFiles::GetVolumeInformationByHandleW(Handle file) {
    TELVO_SIM_ENTER(host_, "GetVolumeInformationByHandleW");
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    const SimVolumeSpec& spec = object->node()->volume->spec;
    return VolumeInformation{spec.serial, 255, spec.file_system_flags, spec.file_system_name};
}

SysResult<std::vector<DirectoryEntry>> SimFiles::GetFileInformationByHandleEx(Handle directory,
                                                                            std::uint32_t information_class) {
    TELVO_SIM_ENTER(host_, "GetFileInformationByHandleEx");
    auto object = Find(directory);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    const bool restart = information_class == file_info_class::kIdBothDirectoryRestartInfo;
    if (!restart && information_class != file_info_class::kIdBothDirectoryInfo) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    if (!object->node()->directory) return Win32Failure(win32_error::kInvalidParameter);
    if (!(object->access() & file_access::kListDirectory)) return Win32Failure(win32_error::kAccessDenied);

    std::lock_guard lock(tree_->mutex);
    auto& state = object->enumeration;
    if (restart) state = {};
    const SimNode& node = *object->node();
    const auto parent = object->link()->parent.lock();
    std::vector<DirectoryEntry> entries;
    while (entries.size() < kEntriesPerCall) {
        if (parent && state.dots_sent < 2) {
            entries.push_back(state.dots_sent == 0 ? EntryFor(u".", node) : EntryFor(u"..", *parent));
            ++state.dots_sent;
            continue;
        }
        auto it = state.last_key ? node.children.upper_bound(*state.last_key) : node.children.begin();
        if (it == node.children.end()) break;
        entries.push_back(EntryFor(it->second->name, *it->second->node));
        state.last_key = it->first;
    }
    if (entries.empty()) {
        return Win32Failure(state.any_returned ? win32_error::kNoMoreFiles : win32_error::kFileNotFound);
    }
    state.any_returned = true;
    return entries;
}

SysResult<AttributeTagInfo> SimFiles::GetFileAttributeTagInfo(Handle file) {
    TELVO_SIM_ENTER(host_, "GetFileInformationByHandleEx", {file_info_class::kAttributeTagInfo});
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    const SimNode& node = *object->node();
    return AttributeTagInfo{node.attributes == 0 ? file_attribute::kNormal : node.attributes, node.reparse_tag};
}

SysResult<void> SimFiles::LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) {
    TELVO_SIM_ENTER(host_, "LockFileEx", {static_cast<std::uint64_t>(file), flags, offset, length});
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    return LockRange(*object, flags, offset, length);
}

SysResult<void> SimFiles::UnlockFileEx(Handle file, std::uint64_t offset, std::uint64_t length) {
    TELVO_SIM_ENTER(host_, "UnlockFileEx", {static_cast<std::uint64_t>(file), offset, length});
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(tree_->mutex);
    return UnlockRange(*object, offset, length);
}

std::uint32_t SimFiles::GetDriveTypeW(const std::u16string& root_path) {
    (void)host_.Enter("GetDriveTypeW");
    auto parsed = ParseSimPath(root_path);
    if (!parsed || !parsed->names.empty()) return drive_type::kNoRootDir;
    if (parsed->root.size() == 2) {
        if (auto device = dos_devices_.Find(parsed->root[0])) return device->drive_type;
    }
    std::lock_guard lock(tree_->mutex);
    std::u16string root = parsed->root;
    if (const std::u16string* target = root.size() == 2 ? tree_->FindSubst(root[0]) : nullptr) {
        auto mapped = ParseSimPath(*target);
        if (!mapped) return drive_type::kNoRootDir;
        root = mapped->root;
    }
    const SimVolume* volume = tree_->FindVolume(root);
    return volume == nullptr ? drive_type::kNoRootDir : volume->spec.drive_type;
}

SysResult<std::uint32_t> SimFiles::QueryDosDeviceW(const std::u16string& device_name, std::span<char16_t> buffer) {
    TELVO_SIM_ENTER(host_, "QueryDosDeviceW", {buffer.size()});
    TELVO_TRY_ASSIGN(const std::u16string mapping, DosDeviceMapping(device_name));
    // The multi-string of one target, with both terminating NULs (windows-notes 11.5).
    if (buffer.size() < mapping.size() + 2) return Win32Failure(win32_error::kInsufficientBuffer);
    std::copy(mapping.begin(), mapping.end(), buffer.begin());
    buffer[mapping.size()] = u'\0';
    buffer[mapping.size() + 1] = u'\0';
    return static_cast<std::uint32_t>(mapping.size() + 2);
}

SysResult<std::u16string> SimFiles::DosDeviceMapping(const std::u16string& device_name) {
    if (device_name.size() != 2 || device_name[1] != u':') return Win32Failure(win32_error::kFileNotFound);
    const char16_t letter = winformat::UpcaseUnit(device_name[0]);
    if (auto device = dos_devices_.Find(letter)) return device->mapping;
    std::lock_guard lock(tree_->mutex);
    if (const std::u16string* target = tree_->FindSubst(letter)) {
        return u"\\??\\" + target->substr(4);
    }
    const SimVolume* volume = tree_->FindVolume(std::u16string{letter, u':'});
    if (volume == nullptr) return Win32Failure(win32_error::kFileNotFound);
    return volume->spec.device;
}

SysResult<Handle> SimFiles::NtOpenDevice(const std::u16string& nt_name, std::uint32_t object_attributes,
                                         std::uint32_t desired_access, std::uint32_t share_access,
                                         std::uint32_t open_options) {
    TELVO_SIM_ENTER(host_, "NtOpenFile", {desired_access, share_access, open_options, object_attributes});
    constexpr std::uint32_t kKnownAttributes = object_attribute::kCaseInsensitive | object_attribute::kDontReparse;
    if ((object_attributes & ~kKnownAttributes) != 0) return std::unexpected(SysError::NtStatus(kStatusInvalidParameter));
    const bool names_device = (object_attributes & object_attribute::kCaseInsensitive) != 0
                                  ? SimNullDevice::NamesDevice(nt_name)
                                  : nt_name == u"\\Device\\Null";
    if (!names_device) return std::unexpected(SysError::NtStatus(kStatusObjectNameNotFound));
    auto granted = null_device_->CheckOpen(CallerToken(), desired_access);
    if (!granted) return std::unexpected(SysError::NtStatus(NtStatusOfOpenError(granted.error().code)));
    return host_.handles().Add(std::make_shared<SimNullDevice>(*granted, null_device_));
}

SysResult<std::uint32_t> SimFiles::GetFileType(Handle file) {
    TELVO_SIM_ENTER(host_, "GetFileType");
    if (host_.handles().FindAs<SimNullDevice>(file)) return file_type::kChar;
    if (Find(file)) return file_type::kDisk;
    return Win32Failure(win32_error::kInvalidHandle);
}

void SimFiles::AddVolume(SimVolumeSpec spec) {
    std::lock_guard lock(tree_->mutex);
    tree_->AddVolume(std::move(spec));
}

void SimFiles::AddSubstDrive(char16_t letter, std::u16string target) {
    std::lock_guard lock(tree_->mutex);
    tree_->AddSubstDrive(letter, std::move(target));
}

std::vector<SimVolumeSpec> SimFiles::Volumes() {
    std::lock_guard lock(tree_->mutex);
    std::vector<SimVolumeSpec> specs;
    for (const SimVolume* volume : tree_->Volumes()) specs.push_back(volume->spec);
    return specs;
}

std::map<char16_t, std::u16string> SimFiles::SubstDrives() {
    std::lock_guard lock(tree_->mutex);
    return tree_->SubstDrives();
}

std::vector<SimObjectRecord> SimFiles::Objects() {
    using Kind = SimObjectRecord::Kind;
    std::lock_guard lock(tree_->mutex);
    std::vector<SimObjectRecord> records;
    std::map<const SimNode*, std::u16string> first_names;
    const auto walk = [&](const auto& self, const SimNode& directory, const std::u16string& path) -> void {
        for (const auto& [key, link] : directory.children) {
            const SimNode& node = *link->node;
            SimObjectRecord record;
            record.path = path + u"\\" + link->name;
            record.directory = node.directory;
            if (auto first = first_names.find(&node); first != first_names.end()) {
                record.kind = Kind::hardlink;
                record.target = first->second;
                records.push_back(std::move(record));
                continue;
            }
            first_names.emplace(&node, record.path);
            record.security_descriptor = node.security_descriptor;
            record.file_index = node.file_index;
            record.kind = node.reparse_tag == reparse_tag::kMountPoint ? Kind::junction
                          : node.reparse_tag == reparse_tag::kSymlink  ? Kind::symlink
                          : node.directory                             ? Kind::directory
                                                                       : Kind::file;
            if (record.kind == Kind::junction || record.kind == Kind::symlink) record.target = node.reparse_target;
            if (record.kind == Kind::file) record.contents = node.contents;
            const bool descend = record.kind == Kind::directory;
            const std::u16string child_path = record.path;
            records.push_back(std::move(record));
            if (descend) self(self, node, child_path);
        }
    };
    for (const SimVolume* volume : tree_->Volumes()) walk(walk, *volume->root->node, volume->spec.root);
    return records;
}

SysResult<void> SimFiles::MakeDirectory(std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    TELVO_TRY(tree_->AddChild(lookup, true, 0, Creator()));
    return {};
}

SysResult<void> SimFiles::MakeFile(std::u16string_view path, std::string contents) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    TELVO_TRY_ASSIGN(auto link, tree_->AddChild(lookup, false, file_attribute::kArchive, Creator()));
    link->node->contents = std::move(contents);
    return {};
}

SysResult<void> SimFiles::MakeHardLink(std::u16string_view existing, std::u16string_view link) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto target, tree_->ResolveExisting(existing, false));
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(link, false));
    return tree_->AddHardLink(target->node, lookup);
}

SysResult<void> SimFiles::MakeReparsePoint(std::u16string_view path, std::uint32_t tag, std::u16string target,
                                           bool directory) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    TELVO_TRY(tree_->AddChild(lookup, directory, file_attribute::kReparsePoint, Creator(),
                              SimReparse{tag, std::move(target)}));
    return {};
}

SysResult<void> SimFiles::MakeJunction(std::u16string_view path, std::u16string target) {
    return MakeReparsePoint(path, reparse_tag::kMountPoint, std::move(target), true);
}

SysResult<void> SimFiles::MakeSymlink(std::u16string_view path, std::u16string target, bool directory) {
    return MakeReparsePoint(path, reparse_tag::kSymlink, std::move(target), directory);
}

SysResult<void> SimFiles::Rename(std::u16string_view from, std::u16string_view to) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(from, false));
    TELVO_TRY_ASSIGN(SimLookup destination, tree_->Resolve(to, false));
    return tree_->Rename(link, destination);
}

SysResult<void> SimFiles::Remove(std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    return tree_->Remove(link);
}

SysResult<SimFileFacts> SimFiles::Lookup(std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    const SimNode& node = *link->node;
    return SimFileFacts{node.file_index, node.attributes, node.link_count, node.reparse_tag, node.contents};
}

SysResult<std::vector<std::u16string>> SimFiles::ObjectPaths(std::u16string_view root) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(root, false));
    std::vector<std::pair<std::u16string, std::shared_ptr<SimLink>>> pending{{std::u16string(root), link}};
    std::vector<std::u16string> paths;
    while (!pending.empty()) {
        auto [path, current] = std::move(pending.back());
        pending.pop_back();
        const SimNode& node = *current->node;
        if (node.reparse_tag == 0) {
            const std::u16string prefix = path.ends_with(u'\\') ? path : path + u"\\";
            for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
                pending.emplace_back(prefix + it->second->name, it->second);
            }
        }
        paths.push_back(std::move(path));
    }
    return paths;
}

SysResult<void> SimFiles::SetFileIndex(std::u16string_view path, std::uint64_t file_index) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    link->node->file_index = file_index;
    // The volume's own numbering goes on above it, so that no later object takes it.
    SimVolume& volume = *link->node->volume;
    volume.next_record = std::max(volume.next_record, (file_index & 0xFFFFFFFFFFFF) + 1);
    return {};
}

SysResult<std::shared_ptr<SimFileObject>> SimFiles::OpenInOtherProcess(std::u16string_view path,
                                                                       std::uint32_t access, std::uint32_t share,
                                                                       std::uint32_t flags) {
    return Open(path, access, share, creation_disposition::kOpenExisting, flags, nullptr,
                (flags & file_flag::kBackupSemantics) != 0);
}

SysResult<void> SimFiles::LockInOtherProcess(SimFileObject& file, std::uint64_t offset, std::uint64_t length) {
    std::lock_guard lock(tree_->mutex);
    return LockRange(file, lock_flag::kFailImmediately | lock_flag::kExclusiveLock, offset, length);
}

SysResult<void> SimFiles::SetSecurityDescriptor(std::u16string_view path, std::vector<std::uint8_t> descriptor) {
    if (!winformat::SecurityDescriptor::ParseSelfRelative(descriptor)) return Win32Failure(win32_error::kInvalidSecurityDescr);
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    tree_->SetDescriptor(*link, std::move(descriptor));
    return {};
}

SysResult<std::vector<std::uint8_t>> SimFiles::SecurityDescriptorOf(std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    return link->node->security_descriptor;
}

}  // namespace telvo::platform::sim
