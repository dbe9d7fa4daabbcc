#include "platform/sim/sim_file_security.h"

#include <algorithm>
#include <utility>

#include "platform/sim/sim_access_check.h"

namespace telvo::platform::sim {

namespace {

using winformat::Ace;
using winformat::Acl;
using winformat::SecurityDescriptor;
namespace flag = winformat::ace_flag;

constexpr std::uint8_t kInheritance =
    flag::kObjectInherit | flag::kContainerInherit | flag::kNoPropagateInherit | flag::kInheritOnly;

Ace WithFlags(const Ace& ace, std::uint8_t flags) {
    // The body is unchanged and the header keeps its size, so this cannot fail.
    return Ace::Make(ace.type(), flags, ace.body()).value();
}

const winformat::Sid& CreatorOwner() {
    static const winformat::Sid sid = winformat::Sid::Make(winformat::sid_authority::kCreator, {0});
    return sid;
}

const winformat::Sid& CreatorGroup() {
    static const winformat::Sid sid = winformat::Sid::Make(winformat::sid_authority::kCreator, {1});
    return sid;
}

// The entry as it takes effect on the new object: CREATOR OWNER and CREATOR
// GROUP stand for the object's owner and group, and generic rights become
// the file rights they map to. Nothing, when the entry needs no change.
std::optional<Ace> Effective(const Ace& ace, std::uint8_t flags, const InheritingObject& object) {
    if (ace.form() != winformat::AceForm::basic) return std::nullopt;
    const winformat::Sid* sid = ace.sid();
    const winformat::Sid* replacement = nullptr;
    if (*sid == CreatorOwner() && object.owner) replacement = &*object.owner;
    if (*sid == CreatorGroup() && object.group) replacement = &*object.group;
    const std::uint32_t mask = *ace.mask();
    const std::uint32_t mapped = MapGenericBits(mask, kFileGenericMapping);
    if (replacement == nullptr && mapped == mask) return std::nullopt;
    return Ace::Basic(ace.type(), flags, mapped, replacement != nullptr ? *replacement : *sid);
}

// What one parent entry gives a child (windows-notes 10.2, the ComputeACL of
// MS-DTYP): a file takes an OBJECT_INHERIT entry as an effective one. A
// directory takes a CONTAINER_INHERIT entry as an effective one that goes on
// inheriting, unless NO_PROPAGATE_INHERIT stops it; an entry that changes as
// it takes effect (CREATOR OWNER or GROUP, generic rights) becomes two: the
// changed effective entry, and the entry as it was, inherit-only, to go on
// down. An OBJECT_INHERIT-only entry reaches a directory inherit-only (not
// at all with NO_PROPAGATE_INHERIT). Every copy is marked INHERITED_ACE.
std::vector<Ace> InheritedCopies(const Ace& ace, const InheritingObject& object) {
    const std::uint8_t flags = ace.flags();
    const bool object_inherit = (flags & flag::kObjectInherit) != 0;
    const bool container_inherit = (flags & flag::kContainerInherit) != 0;
    const bool no_propagate = (flags & flag::kNoPropagateInherit) != 0;
    const auto others = static_cast<std::uint8_t>((flags & ~kInheritance) | flag::kInherited);
    const auto effective = [&](std::uint8_t kept) {
        auto changed = Effective(ace, others, object);
        if (!changed) return std::vector<Ace>{WithFlags(ace, others | kept)};
        std::vector<Ace> copies{std::move(*changed)};
        if (kept != 0) copies.push_back(WithFlags(ace, others | kept | flag::kInheritOnly));
        return copies;
    };
    if (!object.directory) return object_inherit ? effective(0) : std::vector<Ace>{};
    if (container_inherit) {
        return effective(no_propagate ? 0 : static_cast<std::uint8_t>(flags & (flag::kObjectInherit | flag::kContainerInherit)));
    }
    if (object_inherit && !no_propagate) return {WithFlags(ace, others | flag::kObjectInherit | flag::kInheritOnly)};
    return {};
}

Acl FittedOrFault(std::uint8_t revision, std::vector<Ace> aces) {
    auto acl = Acl::Fitted(revision, std::move(aces));
    if (!acl) throw InternalFault("simulated DACL outgrew an ACL");
    return std::move(*acl);
}

// The node's descriptor with its DACL rebuilt from its explicit entries and
// what it inherits from `parent_dacl`.
std::vector<std::uint8_t> Reinherited(const SimNode& node, SecurityDescriptor descriptor, const Acl& parent_dacl) {
    std::vector<Ace> aces;
    std::uint8_t revision = parent_dacl.revision();
    if (const Acl* own = descriptor.dacl.acl()) {
        revision = std::max(revision, own->revision());
        for (const Ace& ace : own->aces()) {
            if ((ace.flags() & flag::kInherited) == 0) aces.push_back(ace);
        }
    }
    const InheritingObject object{node.directory, descriptor.owner, descriptor.group};
    for (Ace& ace : InheritedAces(parent_dacl, object)) aces.push_back(std::move(ace));
    descriptor.dacl = winformat::AclSlot(FittedOrFault(revision, std::move(aces)));
    descriptor.control |= winformat::sd_control::kDaclAutoInherited;
    return descriptor.ToSelfRelative();
}

}  // namespace

Acl WithFileRightsMapped(const Acl& acl) {
    std::vector<Ace> aces;
    for (const Ace& ace : acl.aces()) {
        if ((ace.flags() & flag::kInheritOnly) != 0 || ace.form() != winformat::AceForm::basic) {
            aces.push_back(ace);
            continue;
        }
        aces.push_back(Ace::Basic(ace.type(), ace.flags(), MapGenericBits(*ace.mask(), kFileGenericMapping), *ace.sid()));
    }
    return FittedOrFault(acl.revision(), std::move(aces));
}

std::vector<Ace> InheritedAces(const Acl& parent_dacl, const InheritingObject& object) {
    std::vector<Ace> inherited;
    for (const Ace& ace : parent_dacl.aces()) {
        for (Ace& copy : InheritedCopies(ace, object)) inherited.push_back(std::move(copy));
    }
    return inherited;
}

std::vector<std::uint8_t> NewObjectDescriptor(std::span<const std::uint8_t> parent, const InheritingObject& object,
                                              std::span<const std::uint8_t> default_dacl) {
    SecurityDescriptor descriptor;
    descriptor.owner = object.owner;
    descriptor.group = object.group;
    descriptor.control = winformat::sd_control::kDaclAutoInherited;
    std::vector<Ace> aces;
    std::uint8_t revision = winformat::acl_revision::kRevision;
    if (auto parsed = SecurityDescriptor::ParseSelfRelative(parent); parsed && parsed->dacl.acl() != nullptr) {
        aces = InheritedAces(*parsed->dacl.acl(), object);
        revision = parsed->dacl.acl()->revision();
    }
    // Nothing to inherit: the creator's default DACL, not auto-inherited,
    // with its generic rights mapped to the file's.
    if (aces.empty() && !default_dacl.empty()) {
        if (auto fallback = Acl::Parse(default_dacl)) {
            descriptor.control = 0;
            descriptor.dacl = winformat::AclSlot(WithFileRightsMapped(*fallback));
            return descriptor.ToSelfRelative();
        }
    }
    descriptor.dacl = winformat::AclSlot(FittedOrFault(revision, std::move(aces)));
    return descriptor.ToSelfRelative();
}

std::vector<std::uint8_t> WithGivenParts(std::span<const std::uint8_t> made, const SecurityDescriptor& given) {
    auto descriptor = SecurityDescriptor::ParseSelfRelative(made);
    if (!descriptor) return {made.begin(), made.end()};
    if (given.group) descriptor->group = given.group;
    if (given.dacl.present()) {
        descriptor->dacl = given.dacl;
        descriptor->control = given.Control() & winformat::sd_control::kDaclProtected;
    }
    return descriptor->ToSelfRelative();
}

// A system volume's root as Windows sets it up: everyone signed in may make
// directories there and change what is made below it; Users may read.
std::vector<std::uint8_t> VolumeRootDescriptor() {
    namespace wk = winformat::well_known;
    constexpr std::uint8_t kBoth = flag::kObjectInherit | flag::kContainerInherit;
    constexpr std::uint32_t kModify = 0x001301BF;
    SecurityDescriptor descriptor;
    descriptor.owner = wk::Administrators();
    descriptor.group = wk::LocalSystem();
    descriptor.control = winformat::sd_control::kDaclProtected;
    descriptor.dacl = winformat::AclSlot(FittedOrFault(
        winformat::acl_revision::kRevision,
        {Ace::Allowed(0x001F01FF, wk::Administrators(), kBoth), Ace::Allowed(0x001F01FF, wk::LocalSystem(), kBoth),
         Ace::Allowed(0x001200A9, wk::Users(), kBoth),
         Ace::Allowed(kModify, wk::AuthenticatedUsers(), kBoth | flag::kInheritOnly),
         Ace::Allowed(file_access::kAppendData, wk::AuthenticatedUsers())}));
    return descriptor.ToSelfRelative();
}

SecurityDescriptor ParseNodeDescriptor(const SimNode& node) {
    auto parsed = SecurityDescriptor::ParseSelfRelative(node.security_descriptor);
    if (!parsed) throw InternalFault("simulated object carries a malformed security descriptor");
    return std::move(*parsed);
}

void PropagateInheritance(SimFileTree& tree, SimNode& directory) {
    const Acl empty = FittedOrFault(winformat::acl_revision::kRevision, {});
    std::vector<SimNode*> pending{&directory};
    while (!pending.empty()) {
        SimNode* parent = pending.back();
        pending.pop_back();
        const SecurityDescriptor parent_descriptor = ParseNodeDescriptor(*parent);
        const Acl* parent_dacl = parent_descriptor.dacl.acl();
        for (const auto& [key, child] : parent->children) {
            SimNode& node = *child->node;
            SecurityDescriptor descriptor = ParseNodeDescriptor(node);
            if (descriptor.control & winformat::sd_control::kDaclProtected) continue;
            tree.SetDescriptor(*child,
                               Reinherited(node, std::move(descriptor), parent_dacl != nullptr ? *parent_dacl : empty));
            if (node.directory && node.reparse_tag == 0) pending.push_back(&node);
        }
    }
}

}  // namespace telvo::platform::sim
