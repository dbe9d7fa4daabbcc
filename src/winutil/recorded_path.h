#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::winutil {

// The identity of one filesystem object: volume serial number and file index
// (nFileIndexHigh << 32 | nFileIndexLow). A file index of 0 is no identity.
struct FileIdentity {
    std::uint32_t volume_serial = 0;
    std::uint64_t file_index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A path together with the identity of the object it named when recorded.
struct RecordedPath {
    std::string path;
    FileIdentity identity;
    bool operator==(const RecordedPath&) const = default;
};

struct DirectoryChain;  // directory_chain.h

// The identity of the object at `path` (extended form), proved as for a
// grant: final path, no reparse point, no second hard link, non-zero index,
// persistent ACLs.
Result<RecordedPath> CaptureRecordedPath(platform::Platform& platform, std::string_view path);

// Opens a recorded path again and proves it is still the recorded object.
Result<platform::UniqueHandle> ReopenRecordedPath(platform::Platform& platform, const RecordedPath& recorded);

// The directory chain of a recorded directory, whose last entry must still be
// the recorded object.
Result<DirectoryChain> ReopenRecordedChain(platform::Platform& platform, const RecordedPath& recorded);

}  // namespace telvo::winutil
