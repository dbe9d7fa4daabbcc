#include "winutil/directory_chain.h"

#include "common/try.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"

namespace telvo::winutil {

using namespace platform;

namespace {

// The volume root (\\?\X:\) first, the path itself last.
std::vector<std::string> AncestorsRootFirst(const std::string& extended) {
    const PathSyntax syntax = ParsePathSyntax(extended);
    std::string prefix = extended.substr(0, 6) + "\\";
    std::vector<std::string> entries{prefix};
    for (std::size_t i = 0; i + 1 < syntax.components.size(); ++i) {
        if (i > 0) prefix += '\\';
        prefix += syntax.components[i];
        entries.push_back(prefix);
    }
    if (!syntax.components.empty()) entries.push_back(extended);
    return entries;
}

Result<ChainEntry> OpenChainEntry(Platform& platform, std::string path, bool with_write_dac) {
    TELVO_TRY_ASSIGN(UniqueHandle handle, OpenObjectNoFollow(platform, path, with_write_dac));
    TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), path));
    TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform.files, handle.get()));
    TELVO_TRY_ASSIGN(FileIdentity identity, CheckStableIdentity(info, path));
    if (identity.file_index == 0 || !(info.file_attributes & file_attribute::kDirectory)) {
        return Fail("metadata ancestry is not a stable directory: " + path);
    }
    TELVO_TRY(RequirePersistentAcls(platform.files, handle.get(), path));
    return ChainEntry{std::move(path), std::move(handle), identity};
}

}  // namespace

Result<DirectoryChain> OpenDirectoryChain(Platform& platform, std::string_view path, bool write_dac_on_target) {
    TELVO_TRY_ASSIGN(std::string extended, ToExtendedPath(path));
    DirectoryChain chain;
    for (std::string& entry : AncestorsRootFirst(extended)) {
        const bool write_dac = write_dac_on_target && PathsEqual(entry, extended);
        TELVO_TRY_ASSIGN(ChainEntry opened, OpenChainEntry(platform, std::move(entry), write_dac));
        chain.entries.push_back(std::move(opened));
    }
    return chain;
}

}  // namespace telvo::winutil
