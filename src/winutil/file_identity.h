#pragma once

#include <cstdint>
#include <string>

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

}  // namespace telvo::winutil
