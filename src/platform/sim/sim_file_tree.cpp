#include "platform/sim/sim_file_tree.h"

#include <deque>

#include "platform/sim/sim_object.h"
#include "common/try.h"
#include "platform/sim/sim_file_object.h"
#include "platform/sim/sim_file_security.h"
#include "platform/sim/sim_path.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

namespace {

constexpr int kMaxReparseHops = 63;
// NTFS numbers the root directory's record 5 with sequence number 5.
constexpr std::uint64_t kRootFileIndex = 0x0005000000000005;


bool IsValidName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c < 0x20 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) return false;
    }
    return true;
}

std::shared_ptr<SimNode> NewNode(SimVolume& volume, bool directory, std::uint32_t attributes) {
    auto node = std::make_shared<SimNode>();
    node->directory = directory;
    node->attributes = attributes | (directory ? file_attribute::kDirectory : 0);
    node->volume = &volume;
    node->file_index = (std::uint64_t{1} << 48) | volume.next_record++;
    return node;
}

bool HasOpenBelow(const SimNode& directory) {
    for (const auto& [key, child] : directory.children) {
        if (!child->node->opens.empty()) return true;
        if (child->node->directory && HasOpenBelow(*child->node)) return true;
    }
    return false;
}

bool IsWithin(const SimLink& candidate, const SimNode& ancestor) {
    for (auto parent = candidate.parent.lock(); parent; parent = parent->self.lock()->parent.lock()) {
        if (parent.get() == &ancestor) return true;
    }
    return false;
}

void Attach(const SimLookup& where, const std::shared_ptr<SimLink>& link) {
    link->parent = where.parent->node;
    link->name = where.name;
    link->volume = where.parent->volume;
    where.parent->node->children[winformat::Upcased(where.name)] = link;
}

void Detach(SimLink& link) {
    if (auto parent = link.parent.lock()) parent->children.erase(winformat::Upcased(link.name));
    link.parent.reset();
}

std::u16string KindWord(const SimNode& node) {
    if (node.reparse_tag == reparse_tag::kMountPoint) return u"junction";
    if (node.reparse_tag == reparse_tag::kSymlink) return u"symbolic link";
    return node.directory ? u"directory" : u"file";
}

}  // namespace

SimVolume& SimFileTree::AddVolume(SimVolumeSpec spec) {
    auto volume = std::make_unique<SimVolume>();
    volume->spec = std::move(spec);
    auto root = std::make_shared<SimLink>();
    root->volume = volume.get();
    root->node = std::make_shared<SimNode>();
    root->node->directory = true;
    root->node->attributes = file_attribute::kDirectory | file_attribute::kHidden | file_attribute::kSystem;
    root->node->volume = volume.get();
    root->node->file_index = kRootFileIndex;
    root->node->link_count = 1;
    root->node->security_descriptor = VolumeRootDescriptor();
    root->node->self = root;
    volume->root = std::move(root);
    volumes_.push_back(std::move(volume));
    return *volumes_.back();
}

void SimFileTree::AddSubstDrive(char16_t letter, std::u16string target) { substs_[letter] = std::move(target); }

SimVolume* SimFileTree::FindVolume(std::u16string_view root) {
    for (auto& volume : volumes_) {
        if (winformat::EqualIgnoringCase(volume->spec.root, root)) return volume.get();
    }
    return nullptr;
}

std::vector<SimVolume*> SimFileTree::Volumes() const {
    std::vector<SimVolume*> all;
    for (const auto& volume : volumes_) all.push_back(volume.get());
    return all;
}

const std::u16string* SimFileTree::FindSubst(char16_t letter) const {
    auto it = substs_.find(letter);
    return it == substs_.end() ? nullptr : &it->second;
}

SimLookup NameOf(const std::shared_ptr<SimLink>& link) {
    auto parent = link->parent.lock();
    return SimLookup{parent ? parent->self.lock() : nullptr, link->name, link};
}

SysResult<SimLookup> SimFileTree::Resolve(std::u16string_view path, bool follow_last) {
    TELVO_TRY_ASSIGN(SimPath parsed, ParseSimPath(path));
    std::deque<std::u16string> pending(parsed.names.begin(), parsed.names.end());
    std::u16string root = parsed.root;
    int hops = 0;
    // A subst drive stands for its target directory.
    if (const std::u16string* target = root.size() == 2 ? FindSubst(root[0]) : nullptr) {
        TELVO_TRY_ASSIGN(SimPath mapped, ParseSimPath(*target));
        root = mapped.root;
        pending.insert(pending.begin(), mapped.names.begin(), mapped.names.end());
    }
    SimVolume* volume = FindVolume(root);
    if (volume == nullptr) return Win32Failure(win32_error::kPathNotFound);
    SimLookup lookup{nullptr, u"", volume->root};
    while (!pending.empty()) {
        std::u16string name = std::move(pending.front());
        pending.pop_front();
        const auto& current = lookup.link;
        if (!current->node->directory) return Win32Failure(win32_error::kPathNotFound);
        auto it = current->node->children.find(winformat::Upcased(name));
        if (it == current->node->children.end()) {
            if (!pending.empty()) return Win32Failure(win32_error::kPathNotFound);
            return SimLookup{current, std::move(name), nullptr};
        }
        const auto child = it->second;
        if (child->node->reparse_tag != 0 && (!pending.empty() || follow_last)) {
            if (++hops > kMaxReparseHops) return Win32Failure(win32_error::kCantResolveFilename);
            TELVO_TRY_ASSIGN(SimPath target, ParseSimPath(child->node->reparse_target));
            SimVolume* target_volume = FindVolume(target.root);
            if (target_volume == nullptr) return Win32Failure(win32_error::kPathNotFound);
            pending.insert(pending.begin(), target.names.begin(), target.names.end());
            lookup = SimLookup{nullptr, u"", target_volume->root};
            continue;
        }
        lookup = SimLookup{current, child->name, child};
    }
    return lookup;
}

SysResult<std::shared_ptr<SimLink>> SimFileTree::ResolveExisting(std::u16string_view path, bool follow_last) {
    TELVO_TRY_ASSIGN(SimLookup lookup, Resolve(path, follow_last));
    if (!lookup.link) return Win32Failure(win32_error::kFileNotFound);
    return lookup.link;
}

SysResult<std::u16string> SimFileTree::FinalPath(const SimLink& link) const {
    // A removed name has no path any more; Windows reports such a delete-pending
    // object differently by version (assumed: ERROR_FILE_NOT_FOUND).
    if (link.removed) return Win32Failure(win32_error::kFileNotFound);
    std::vector<std::u16string> names;
    std::shared_ptr<SimNode> parent = link.parent.lock();
    for (const std::u16string* name = &link.name; parent;) {
        names.push_back(*name);
        const auto self = parent->self.lock();
        name = &self->name;
        parent = self->parent.lock();
    }
    return ExtendedText(link.volume->spec.root, {names.rbegin(), names.rend()});
}

std::u16string SimFileTree::LoggedPath(const SimLink& link) const {
    auto path = FinalPath(link);
    return path ? path->substr(4) : link.name;
}

SysResult<std::shared_ptr<SimLink>> SimFileTree::AddChild(const SimLookup& where, bool directory,
                                                          std::uint32_t attributes, const SimCreator& creator,
                                                          SimReparse reparse) {
    if (where.link) return Win32Failure(win32_error::kAlreadyExists);
    if (!where.parent) return Win32Failure(win32_error::kAccessDenied);  // a volume root
    if (!IsValidName(where.name)) return Win32Failure(win32_error::kInvalidName);
    if (IsDeletePending(*where.parent->node)) return Win32Failure(win32_error::kAccessDenied);
    std::vector<std::uint8_t> descriptor =
        NewObjectDescriptor(where.parent->node->security_descriptor,
                            InheritingObject{directory, creator.owner, creator.group}, creator.default_dacl);
    if (creator.given) {
        if (creator.given->owner && *creator.given->owner != creator.owner) {
            return Win32Failure(win32_error::kInvalidOwner);
        }
        descriptor = WithGivenParts(descriptor, *creator.given);
    }
    auto link = std::make_shared<SimLink>();
    link->node = NewNode(*where.parent->volume, directory, attributes);
    link->node->link_count = 1;
    link->node->security_descriptor = std::move(descriptor);
    link->node->reparse_tag = reparse.tag;
    link->node->reparse_target = std::move(reparse.target);
    if (directory) link->node->self = link;
    Attach(where, link);
    changes_.Note([&] {
        return SimChange{SimChange::Kind::object_created, LoggedPath(*link), KindWord(*link->node), {},
                         link->node->security_descriptor};
    });
    return link;
}

SysResult<void> SimFileTree::AddHardLink(const std::shared_ptr<SimNode>& node, const SimLookup& where) {
    if (node->directory) return Win32Failure(win32_error::kAccessDenied);
    if (where.link) return Win32Failure(win32_error::kAlreadyExists);
    if (!where.parent || !IsValidName(where.name)) return Win32Failure(win32_error::kInvalidName);
    if (IsDeletePending(*node) || IsDeletePending(*where.parent->node)) return Win32Failure(win32_error::kAccessDenied);
    if (where.parent->volume != node->volume) return Win32Failure(win32_error::kNotSameDevice);
    if (!(node->volume->spec.file_system_flags & volume_flag::kSupportsHardLinks)) {
        return Win32Failure(win32_error::kNotSupported);
    }
    auto link = std::make_shared<SimLink>();
    link->node = node;
    ++node->link_count;
    Attach(where, link);
    changes_.Note([&] { return SimChange{SimChange::Kind::object_created, LoggedPath(*link), u"hard link"}; });
    return {};
}

// Renaming or removing an object opens it for DELETE with every share mode, so
// it fails with ERROR_SHARING_VIOLATION while an open lacking FILE_SHARE_DELETE
// takes part in sharing. A directory with any open object below it cannot be
// renamed or removed (ERROR_ACCESS_DENIED, assumed from NTFS behaviour).
SysResult<void> SimFileTree::Rename(const std::shared_ptr<SimLink>& link, const SimLookup& to) {
    if (!link->parent.lock()) return Win32Failure(win32_error::kAccessDenied);
    if (to.link) return Win32Failure(win32_error::kAlreadyExists);
    if (!to.parent || !IsValidName(to.name)) return Win32Failure(win32_error::kInvalidName);
    if (IsDeletePending(*link->node) || IsDeletePending(*to.parent->node)) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    if (to.parent->volume != link->volume) return Win32Failure(win32_error::kNotSameDevice);
    TELVO_TRY(CheckSharing(*link->node, file_access::kDelete | file_access::kSynchronize,
                           file_share::kRead | file_share::kWrite | file_share::kDelete));
    const SimNode& node = *link->node;
    if (node.directory && (HasOpenBelow(node) || to.parent->node.get() == &node || IsWithin(*to.parent, node))) {
        return Win32Failure(win32_error::kAccessDenied);
    }
    const bool logging = changes_.started();
    const std::u16string from = logging ? LoggedPath(*link) : std::u16string();
    Detach(*link);
    Attach(to, link);
    if (logging) changes_.Note([&] { return SimChange{SimChange::Kind::object_renamed, from, LoggedPath(*link)}; });
    return {};
}

SysResult<void> SimFileTree::Remove(const std::shared_ptr<SimLink>& link) {
    if (!link->parent.lock() || IsDeletePending(*link->node)) return Win32Failure(win32_error::kAccessDenied);
    if (!link->node->children.empty()) return Win32Failure(win32_error::kDirNotEmpty);
    TELVO_TRY(CheckSharing(*link->node, file_access::kDelete | file_access::kSynchronize,
                           file_share::kRead | file_share::kWrite | file_share::kDelete));
    Unlink(link);
    return {};
}

// A delete disposition is the Windows one (FileDispositionInfo): the name is
// not removed when it is set but when the last handle to the object closes;
// until then the name is listed, opens of it fail with STATUS_DELETE_PENDING
// (ERROR_ACCESS_DENIED), and clearing the disposition through any handle
// with DELETE keeps the object. The disposition is held per object, naming
// the link it was set through (assumed from NTFS; hard links keep theirs).
SysResult<void> SimFileTree::SetDeletePending(const std::shared_ptr<SimLink>& link, bool pending) {
    SimNode& node = *link->node;
    if (!pending) {
        node.delete_pending.reset();
        return {};
    }
    if (link->removed || IsDeletePending(node)) return {};
    if (!link->parent.lock()) return Win32Failure(win32_error::kAccessDenied);
    if (!node.children.empty()) return Win32Failure(win32_error::kDirNotEmpty);
    node.delete_pending = link;
    return {};
}

void SimFileTree::RemoveIfPending(SimNode& node) {
    if (!node.opens.empty()) return;
    const std::shared_ptr<SimLink> link = node.delete_pending.lock();
    node.delete_pending.reset();
    if (!link || link->removed || !node.children.empty()) return;
    Unlink(link);
}

void SimFileTree::Unlink(const std::shared_ptr<SimLink>& link) {
    changes_.Note([&] { return SimChange{SimChange::Kind::object_deleted, LoggedPath(*link), KindWord(*link->node)}; });
    Detach(*link);
    link->removed = true;
    --link->node->link_count;
}

bool IsDeletePending(const SimNode& node) {
    const std::shared_ptr<SimLink> link = node.delete_pending.lock();
    return link && !link->removed;
}

void SimFileTree::SetAttributes(const SimLink& link, std::uint32_t settable) {
    constexpr std::uint32_t kKept = file_attribute::kDirectory | file_attribute::kReparsePoint;
    SimNode& node = *link.node;
    node.attributes = (node.attributes & kKept) | (settable & ~(kKept | file_attribute::kNormal));
}

void SimFileTree::SetDescriptor(const SimLink& link, std::vector<std::uint8_t> descriptor) {
    std::vector<std::uint8_t>& stored = link.node->security_descriptor;
    if (stored == descriptor) return;
    changes_.Note([&] {
        return SimChange{SimChange::Kind::descriptor_replaced, LoggedPath(link), {}, stored, descriptor};
    });
    stored = std::move(descriptor);
}

void SimFileTree::NoteWritten(const SimLink& link) {
    changes_.Note([&] { return SimChange{SimChange::Kind::data_written, LoggedPath(link)}; });
}

}  // namespace telvo::platform::sim
