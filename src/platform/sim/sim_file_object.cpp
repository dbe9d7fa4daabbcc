#include "platform/sim/sim_file_object.h"

#include <algorithm>
#include <cstring>

#include "platform/types.h"

namespace telvo::platform::sim {

namespace {

constexpr std::uint32_t kDataRead = file_access::kReadData | file_access::kExecute;
constexpr std::uint32_t kDataWrite = file_access::kWriteData | file_access::kAppendData;

bool TakesPart(std::uint32_t access) { return (access & (kDataRead | kDataWrite | file_access::kDelete)) != 0; }

// One side: what `access` wants against what `share` of the other open allows.
bool Denied(std::uint32_t access, std::uint32_t share) {
    return ((access & kDataRead) && !(share & file_share::kRead)) ||
           ((access & kDataWrite) && !(share & file_share::kWrite)) ||
           ((access & file_access::kDelete) && !(share & file_share::kDelete));
}

bool Overlaps(const SimByteLock& lock, std::uint64_t offset, std::uint64_t length) {
    if (lock.length == 0 || length == 0) return false;
    const std::uint64_t lock_end = lock.offset + std::min(lock.length, ~lock.offset);
    const std::uint64_t end = offset + std::min(length, ~offset);
    return offset < lock_end && lock.offset < end;
}

}  // namespace

SimFileObject::SimFileObject(std::shared_ptr<SimFileTree> tree, std::shared_ptr<SimLink> link,
                             std::uint32_t access, std::uint32_t share)
    : tree_(std::move(tree)), link_(std::move(link)), node_(link_->node), access_(access), share_(share) {
    node_->opens.push_back(this);
}

SimFileObject::~SimFileObject() {
    std::lock_guard lock(tree_->mutex);
    std::erase(node_->opens, this);
    std::erase_if(node_->locks, [this](const SimByteLock& held) { return held.owner == this; });
    tree_->RemoveIfPending(*node_);
}

SysResult<std::uint32_t> SimFileObject::Read(std::byte* out, std::size_t capacity) {
    if (!(access_ & file_access::kReadData)) return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    if (node_->directory) return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    std::lock_guard lock(tree_->mutex);
    const std::string& contents = node_->contents;
    const std::size_t start = std::min<std::uint64_t>(position_, contents.size());
    const std::size_t count = std::min<std::size_t>({capacity, contents.size() - start, 0xFFFFFFFFu});
    std::memcpy(out, contents.data() + start, count);
    position_ = start + count;
    return static_cast<std::uint32_t>(count);
}

SysResult<std::uint32_t> SimFileObject::Write(const std::byte* bytes, std::size_t count) {
    if (!(access_ & kDataWrite)) return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    if (node_->directory) return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    std::lock_guard lock(tree_->mutex);
    std::string& contents = node_->contents;
    const std::size_t length = std::min<std::size_t>(count, 0xFFFFFFFFu);
    const std::uint64_t start = (access_ & file_access::kWriteData) ? position_ : contents.size();
    if (contents.size() < start + length) contents.resize(start + length);
    std::memcpy(contents.data() + start, bytes, length);
    tree_->NoteWritten(*link_);
    position_ = start + length;
    return static_cast<std::uint32_t>(length);
}

std::uint32_t MapFileAccess(std::uint32_t access) {
    std::uint32_t mapped = access & 0x00FFFFFF & ~file_access::kMaximumAllowed;
    if (access & file_access::kGenericRead) mapped |= file_access::kFileGenericRead;
    if (access & file_access::kGenericWrite) mapped |= file_access::kFileGenericWrite;
    if (access & file_access::kGenericExecute) mapped |= file_access::kFileGenericExecute;
    if (access & (file_access::kGenericAll | file_access::kMaximumAllowed)) mapped |= file_access::kFileAllAccess;
    return mapped;
}

SysResult<void> CheckSharing(const SimNode& node, std::uint32_t access, std::uint32_t share) {
    if (!TakesPart(access)) return {};
    for (const SimFileObject* open : node.opens) {
        if (!TakesPart(open->access())) continue;
        if (Denied(access, open->share()) || Denied(open->access(), share)) {
            return std::unexpected(SysError::Win32(win32_error::kSharingViolation));
        }
    }
    return {};
}

SysResult<void> LockRange(SimFileObject& file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) {
    if (!(file.access() & (file_access::kReadData | file_access::kWriteData))) {
        return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    }
    const bool exclusive = (flags & lock_flag::kExclusiveLock) != 0;
    auto& locks = file.node()->locks;
    for (const auto& held : locks) {
        if (Overlaps(held, offset, length) && (exclusive || held.exclusive)) {
            return std::unexpected(SysError::Win32(win32_error::kLockViolation));
        }
    }
    locks.push_back({&file, offset, length, exclusive});
    return {};
}

SysResult<void> UnlockRange(SimFileObject& file, std::uint64_t offset, std::uint64_t length) {
    auto& locks = file.node()->locks;
    auto it = std::find_if(locks.begin(), locks.end(), [&](const SimByteLock& held) {
        return held.owner == &file && held.offset == offset && held.length == length;
    });
    if (it == locks.end()) return std::unexpected(SysError::Win32(win32_error::kNotLocked));
    locks.erase(it);
    return {};
}

}  // namespace telvo::platform::sim
