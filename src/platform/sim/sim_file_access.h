#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_access_check.h"

namespace telvo::platform::sim {

// The access check NTFS makes when a file or directory is opened or created
// (CreateFileW), for `token`:
// - an existing object: with backup intent and the privilege enabled,
//   SeBackupPrivilege and SeRestorePrivilege grant their rights first; every
//   other right must be granted by the object's descriptor, where DELETE may
//   also come from FILE_DELETE_CHILD on the parent and FILE_READ_ATTRIBUTES
//   from FILE_LIST_DIRECTORY on the parent;
// - a new name: the parent must grant FILE_ADD_FILE (a file) or
//   FILE_ADD_SUBDIRECTORY (a directory), and the creator then gets what it
//   asked for.
// MAXIMUM_ALLOWED asks for everything there is to get. The result is the
// access kept on the handle; ERROR_ACCESS_DENIED when a right is missing.
struct OpenAccessRequest {
    std::uint32_t desired = 0;
    bool backup_intent = false;
    bool create = false;
    bool directory = false;
};
SysResult<std::uint32_t> OpenAccess(const TokenIdentity& token, std::span<const std::uint8_t> object_descriptor,
                                    std::span<const std::uint8_t> parent_descriptor, const OpenAccessRequest& request);

}  // namespace telvo::platform::sim
