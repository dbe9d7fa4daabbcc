#include "winutil/recorded_path.h"

#include <string>

#include "common/try.h"
#include "winutil/directory_chain.h"
#include "winutil/object_open.h"

namespace telvo::winutil {

using namespace platform;

namespace {

struct ProvedObject {
    UniqueHandle handle;
    FileIdentity identity;
};

Result<ProvedObject> OpenProved(Platform& platform, std::string_view path) {
    TELVO_TRY_ASSIGN(UniqueHandle handle, OpenObjectNoFollow(platform, path, false));
    TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), path));
    TELVO_TRY_ASSIGN(FileIdentity identity, StableIdentity(platform.files, handle.get(), path));
    return ProvedObject{std::move(handle), identity};
}

}  // namespace

Result<RecordedPath> CaptureRecordedPath(Platform& platform, std::string_view path) {
    TELVO_TRY_ASSIGN(ProvedObject object, OpenProved(platform, path));
    TELVO_TRY(RequirePersistentAcls(platform.files, object.handle.get(), path));
    if (object.identity.file_index == 0) {
        return Fail("filesystem returned no stable identity for " + std::string(path));
    }
    return RecordedPath{std::string(path), object.identity};
}

Result<UniqueHandle> ReopenRecordedPath(Platform& platform, const RecordedPath& recorded) {
    TELVO_TRY_ASSIGN(ProvedObject object, OpenProved(platform, recorded.path));
    // A zero index proves nothing, even when the record holds zero too.
    if (object.identity != recorded.identity || object.identity.file_index == 0) {
        return Fail("recovery path identity changed: " + recorded.path);
    }
    return std::move(object.handle);
}

Result<DirectoryChain> ReopenRecordedChain(Platform& platform, const RecordedPath& recorded) {
    TELVO_TRY_ASSIGN(DirectoryChain chain, OpenDirectoryChain(platform, recorded.path, false));
    if (chain.entries.empty()) return Fail("empty metadata ancestry");
    if (chain.entries.back().identity != recorded.identity) {
        return Fail("metadata recovery path identity changed: " + recorded.path);
    }
    return chain;
}

}  // namespace telvo::winutil
