#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_file_tree.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

// Security descriptors of simulated files and directories, after
// windows-notes §3. What is modelled, and what is assumed:
// - A new object gets the creating process's token user as owner, no group,
//   and a DACL made of its parent's inheritable entries in the parent's
//   order, each marked INHERITED_ACE; the descriptor is SE_DACL_AUTO_INHERITED.
//   A file takes the OBJECT_INHERIT entries as effective entries (inheritance
//   flags cleared). A directory takes the CONTAINER_INHERIT entries as
//   effective entries that go on inheriting, and the entries with
//   OBJECT_INHERIT only as inherit-only entries. NO_PROPAGATE_INHERIT clears
//   the copy's inheritance flags, so an OBJECT_INHERIT-only entry with it
//   does not reach a directory at all.
// - Not modelled: CREATOR OWNER / CREATOR GROUP substitution, the mapping of
//   generic rights in inherited copies, and inheritance from a parent with a
//   null DACL (nothing is inherited then).
// - A volume root is owned by Administrators and carries a protected DACL:
//   Administrators and LocalSystem full access, Users read and execute, all
//   inheritable to files and directories.

// The entries a child inherits from its parent's DACL.
std::vector<winformat::Ace> InheritedAces(const winformat::Acl& parent_dacl, bool directory);

// The descriptor of a new object below a parent whose descriptor is `parent`.
std::vector<std::uint8_t> NewObjectDescriptor(std::span<const std::uint8_t> parent, bool directory,
                                              const std::optional<winformat::Sid>& owner,
                                              std::span<const std::uint8_t> default_dacl = {});

// A new object's descriptor `created` with the DACL its creation named in
// place of what it inherited or took from the token, PROTECTED as named.
std::vector<std::uint8_t> WithExplicitDacl(std::span<const std::uint8_t> created, const winformat::AclSlot& dacl,
                                           bool is_protected);

std::vector<std::uint8_t> VolumeRootDescriptor();

// The stored descriptor of a node; every node's descriptor parses (the sim
// writes them all, and the test side checks what it plants).
winformat::SecurityDescriptor ParseNodeDescriptor(const SimNode& node);

// SetSecurityInfo's propagation below `directory`, whose DACL has just been
// replaced: each descendant that is not protected keeps its explicit entries
// and gets the inherited ones from its parent's new DACL. A protected
// descendant and everything below it are left alone. The tree's mutex is
// held; each descriptor changes through the tree, which records it.
void PropagateInheritance(SimFileTree& tree, SimNode& directory);

}  // namespace telvo::platform::sim
