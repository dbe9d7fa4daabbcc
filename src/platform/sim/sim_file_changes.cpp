// The Files calls that change data and names (see sim_files.h for what they
// assume about Windows).
#include "common/try.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

namespace {

constexpr std::uint32_t kDataWrite = file_access::kWriteData | file_access::kAppendData;
constexpr std::uint32_t kModelledMoveFlags = movefile_flag::kReplaceExisting | movefile_flag::kWriteThrough;
constexpr std::uint32_t kDeleteAccess = file_access::kDelete | file_access::kSynchronize;
constexpr std::uint32_t kShareAll = file_share::kRead | file_share::kWrite | file_share::kDelete;


// What stops `target` from being superseded by a rename; the tree's mutex is held.
SysResult<void> CheckReplaceable(const SimLink& target) {
    const SimNode& node = *target.node;
    if (node.directory || (node.attributes & file_attribute::kReadOnly)) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    TELVO_TRY(CheckSharing(node, kDeleteAccess, kShareAll));
    if (!node.opens.empty()) return Win32Failure(win32_error::kAccessDenied);
    return {};
}

}  // namespace

SysResult<void> SimFiles::FlushFileBuffers(Handle file) {
    TELVO_SIM_ENTER(host_, "FlushFileBuffers");
    auto object = Find(file);
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    if (!(object->access() & kDataWrite)) return Win32Failure(win32_error::kAccessDenied);
    return {};
}

SysResult<void> SimFiles::MoveFileExW(const std::u16string& existing, const std::u16string& new_name,
                                      std::uint32_t flags) {
    TELVO_SIM_ENTER(host_, "MoveFileExW", {flags});
    if (flags & ~kModelledMoveFlags) return Win32Failure(win32_error::kInvalidParameter);
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto source, tree_->ResolveExisting(existing, false));
    TELVO_TRY_ASSIGN(SimLookup destination, tree_->Resolve(new_name, false));
    if (!source->parent.lock()) return Win32Failure(win32_error::kAccessDenied);  // a volume root
    if (destination.parent && destination.parent->volume != source->volume) {
        return Win32Failure(win32_error::kNotSameDevice);
    }
    TELVO_TRY(AccessAs(CallerToken(), NameOf(source), file_access::kDelete, source->node->directory));
    if (!destination.link) {
        TELVO_TRY(AccessAs(CallerToken(), destination, 0, source->node->directory));
    }
    TELVO_TRY(CheckSharing(*source->node, kDeleteAccess, kShareAll));
    if (destination.link && destination.link != source) {
        if (!(flags & movefile_flag::kReplaceExisting)) return Win32Failure(win32_error::kAlreadyExists);
        if (source->node->directory) return Win32Failure(win32_error::kAccessDenied);
        TELVO_TRY(AccessAs(CallerToken(), destination, file_access::kDelete, false));
        TELVO_TRY(CheckReplaceable(*destination.link));
        // Everything that could stop the rename of a file was checked above,
        // so the target never goes without the source taking its place.
        TELVO_TRY(tree_->Remove(destination.link));
    }
    destination.link = nullptr;
    return tree_->Rename(source, destination);
}

SysResult<void> SimFiles::DeleteFileW(const std::u16string& path) {
    TELVO_SIM_ENTER(host_, "DeleteFileW");
    return RemoveName(path, false);
}

SysResult<void> SimFiles::RemoveDirectoryW(const std::u16string& path) {
    TELVO_SIM_ENTER(host_, "RemoveDirectoryW");
    return RemoveName(path, true);
}

SysResult<void> SimFiles::RemoveName(std::u16string_view path, bool directory) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(auto link, tree_->ResolveExisting(path, false));
    const SimNode& node = *link->node;
    if (directory && !node.directory) return Win32Failure(win32_error::kDirectory);
    if (!directory && (node.directory || (node.attributes & file_attribute::kReadOnly))) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    TELVO_TRY(AccessAs(CallerToken(), NameOf(link), file_access::kDelete, node.directory));
    TELVO_TRY(CheckSharing(node, kDeleteAccess, kShareAll));
    return tree_->Remove(link);
}

}  // namespace telvo::platform::sim
