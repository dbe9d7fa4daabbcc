#include "host_prepare/system_root_metadata.h"

#include "common/try.h"
#include "platform/unique_handle.h"
#include "windows/metadata_access.h"
#include "windows/object_dacl.h"
#include "winutil/object_open.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

enum class Operation { status, prepare, remove };

Result<Operation> ParseOperation(std::string_view operation) {
    if (operation == "status") return Operation::status;
    if (operation == "prepare") return Operation::prepare;
    if (operation == "remove") return Operation::remove;
    return Fail("unknown fixed host preparation operation");
}

Result<winformat::Sid> CapabilitySid(platform::AppContainer& appcontainer) {
    const std::string name = kSystemRootMetadataCapability;
    auto derived = appcontainer.DeriveCapabilitySidsFromName(winformat::AsciiToUtf16(name));
    if (!derived) return FailSys("DeriveCapabilitySidsFromName(" + name + ")", derived.error());
    if (derived->capability_sids.size() != 1 || !derived->capability_sids[0]) {
        return Fail("system-root metadata capability must resolve to one SID");
    }
    return std::move(*derived->capability_sids[0]);
}

// The target's directory itself, never a reparse point in its place.
Result<platform::UniqueHandle> OpenTarget(platform::Platform& platform, const FixedHostTarget& target,
                                          bool with_write_dac) {
    TELVO_TRY_ASSIGN(const std::string extended, winutil::ToExtendedPath(target.path));
    TELVO_TRY_ASSIGN(auto handle, winutil::OpenObjectNoFollow(platform, extended, with_write_dac));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, handle.get(), extended));
    TELVO_TRY(winutil::StableIdentity(platform.files, handle.get(), target.path));
    return handle;
}

struct Opened {
    const FixedHostTarget* target;
    platform::UniqueHandle handle;
    bool changed = false;
};

Result<std::vector<TargetOutcome>> Report(platform::Platform& platform, const winformat::Sid& sid,
                                          const std::vector<FixedHostTarget>& targets) {
    std::vector<TargetOutcome> outcomes;
    for (const FixedHostTarget& target : targets) {
        TELVO_TRY_ASSIGN(auto handle, OpenTarget(platform, target, false));
        TELVO_TRY_ASSIGN(auto raw, windows::ReadRawDacl(platform, handle.get()));
        TELVO_TRY_ASSIGN(const bool present, windows::MetadataReadAcePresent(raw.dacl(), sid));
        outcomes.push_back({target.name, target.path, present});
    }
    return outcomes;
}

Result<bool> SetOne(platform::Platform& platform, const winformat::Sid& sid, Opened& opened, bool wanted) {
    TELVO_TRY_ASSIGN(auto handle, OpenTarget(platform, *opened.target, true));
    opened.handle = std::move(handle);
    return windows::SetMetadataReadAce(platform, opened.handle.get(), sid, wanted);
}

// Sets each target in order; on the first failure undoes what this command
// changed, newest first.
Result<std::vector<TargetOutcome>> Change(platform::Platform& platform, const winformat::Sid& sid,
                                          const std::vector<FixedHostTarget>& targets, bool wanted) {
    std::vector<Opened> done;
    for (const FixedHostTarget& target : targets) {
        Opened opened{&target, {}, false};
        auto changed = SetOne(platform, sid, opened, wanted);
        if (!changed) {
            std::string message = "host preparation failed: " + changed.error().Display();
            for (auto it = done.rbegin(); it != done.rend(); ++it) {
                if (!it->changed) continue;
                auto restored = windows::SetMetadataReadAce(platform, it->handle.get(), sid, !wanted);
                if (!restored) {
                    message += "; rollback " + it->target->path + " failed: " + restored.error().Display();
                }
            }
            return Fail(message);
        }
        opened.changed = *changed;
        done.push_back(std::move(opened));
    }
    std::vector<TargetOutcome> outcomes;
    for (const Opened& opened : done) outcomes.push_back({opened.target->name, opened.target->path, opened.changed});
    return outcomes;
}

}  // namespace

Result<std::vector<TargetOutcome>> ApplySystemRootMetadata(platform::Platform& platform, std::string_view operation,
                                                           const std::vector<FixedHostTarget>& targets) {
    TELVO_TRY_ASSIGN(const Operation parsed, ParseOperation(operation));
    TELVO_TRY_ASSIGN(const winformat::Sid sid, CapabilitySid(platform.appcontainer));
    if (parsed == Operation::status) return Report(platform, sid, targets);
    return Change(platform, sid, targets, parsed == Operation::prepare);
}

}  // namespace telvo::host_prepare
