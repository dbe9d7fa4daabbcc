#include "host_prepare/system_root_metadata.h"

#include <optional>

#include "common/try.h"
#include "host_prepare/capability_sid.h"
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

// The target's directory itself, never a reparse point in its place, and
// proved by the target's own check where it has one.
Result<platform::UniqueHandle> OpenTarget(platform::Platform& platform, const FixedHostTarget& target,
                                          bool with_write_dac, const OpenedTargetCheck& check) {
    TELVO_TRY_ASSIGN(const std::string extended, winutil::ToExtendedPath(target.path));
    TELVO_TRY_ASSIGN(auto handle, winutil::OpenObjectNoFollow(platform, extended, with_write_dac));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, handle.get(), extended));
    TELVO_TRY(winutil::StableIdentity(platform.files, handle.get(), target.path));
    if (check) TELVO_TRY(check(target, handle.get()));
    return handle;
}

// A target this command set: its handle, and what it held before.
struct Opened {
    const FixedHostTarget* target;
    platform::UniqueHandle handle;
    std::optional<bool> present_before;  // unknown until its DACL was read
    bool changed = false;
};

Result<std::vector<TargetOutcome>> Report(platform::Platform& platform, const winformat::Sid& sid,
                                          const std::vector<FixedHostTarget>& targets, const OpenedTargetCheck& check) {
    std::vector<TargetOutcome> outcomes;
    for (const FixedHostTarget& target : targets) {
        TELVO_TRY_ASSIGN(auto handle, OpenTarget(platform, target, false, check));
        TELVO_TRY_ASSIGN(auto raw, windows::ReadRawDacl(platform, handle.get()));
        TELVO_TRY_ASSIGN(const bool present, windows::MetadataReadAcePresent(raw.dacl(), sid));
        outcomes.push_back({target.name, target.path, present});
    }
    return outcomes;
}

// Notes what the target holds, then sets it; whether it changed.
Result<bool> SetOne(platform::Platform& platform, const winformat::Sid& sid, Opened& opened, bool wanted,
                    const OpenedTargetCheck& check) {
    TELVO_TRY_ASSIGN(opened.handle, OpenTarget(platform, *opened.target, true, check));
    TELVO_TRY_ASSIGN(auto raw, windows::ReadRawDacl(platform, opened.handle.get()));
    TELVO_TRY_ASSIGN(opened.present_before, windows::MetadataReadAcePresent(raw.dacl(), sid));
    return windows::SetMetadataReadAce(platform, opened.handle.get(), sid, wanted);
}

// Puts a target back as it was before this command; a no-op where it already is.
void Restore(platform::Platform& platform, const winformat::Sid& sid, const Opened& opened, FailureList& failures) {
    auto restored = windows::SetMetadataReadAce(platform, opened.handle.get(), sid, *opened.present_before);
    if (!restored) failures.Add(std::move(restored.error()).Context("rollback " + opened.target->path + " failed"));
}

// Sets each target in order. On the first failure, the failing target (whose
// own write may have gone through before a read-back found it wrong) and
// then every target this command changed, newest first, are set back.
Result<std::vector<TargetOutcome>> Change(platform::Platform& platform, const winformat::Sid& sid,
                                          const std::vector<FixedHostTarget>& targets, bool wanted,
                                          const OpenedTargetCheck& check) {
    std::vector<Opened> done;
    for (const FixedHostTarget& target : targets) {
        Opened opened{&target, {}, std::nullopt, false};
        auto changed = SetOne(platform, sid, opened, wanted, check);
        if (!changed) {
            FailureList failures;
            failures.Add(std::move(changed.error()).Context("host preparation failed"));
            if (opened.present_before) Restore(platform, sid, opened, failures);
            for (auto it = done.rbegin(); it != done.rend(); ++it) {
                if (it->changed) Restore(platform, sid, *it, failures);
            }
            return Fail(std::move(failures).Finish().error());
        }
        opened.changed = *changed;
        done.push_back(std::move(opened));
    }
    std::vector<TargetOutcome> outcomes;
    for (const Opened& opened : done) outcomes.push_back({opened.target->name, opened.target->path, opened.changed});
    return outcomes;
}

}  // namespace

Result<winformat::Sid> SystemRootMetadataCapabilitySid(platform::AppContainer& appcontainer) {
    return DeriveSingleCapabilitySid(appcontainer, kSystemRootMetadataCapability,
                                     "system-root metadata capability must resolve to one SID");
}

Result<std::vector<TargetOutcome>> ApplySystemRootMetadata(platform::Platform& platform, std::string_view operation,
                                                           const std::vector<FixedHostTarget>& targets,
                                                           const OpenedTargetCheck& check) {
    TELVO_TRY_ASSIGN(const Operation parsed, ParseOperation(operation));
    TELVO_TRY_ASSIGN(const winformat::Sid sid, SystemRootMetadataCapabilitySid(platform.appcontainer));
    if (parsed == Operation::status) return Report(platform, sid, targets, check);
    return Change(platform, sid, targets, parsed == Operation::prepare, check);
}

}  // namespace telvo::host_prepare
