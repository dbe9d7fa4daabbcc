#include "winutil/walk_tree.h"

#include <string>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winformat/text.h"
#include "winutil/object_open.h"

namespace telvo::winutil {

using namespace platform;

namespace {

// An open directory whose children are being visited.
struct Level {
    std::u16string path;
    UniqueHandle handle;
    std::vector<std::u16string> names;
    std::size_t next = 0;
};

std::u16string JoinPath(const std::u16string& parent, const std::u16string& name) {
    return parent.ends_with(u'\\') ? parent + name : parent + u"\\" + name;
}

}  // namespace

Result<std::vector<std::u16string>> ListDirectory(Platform& platform, Handle directory, std::size_t max_names) {
    TELVO_TRY_ASSIGN(Handle reopened,
                     Lift("ReOpenFile(list directory)",
                          platform.files.ReOpenFile(directory, file_access::kListDirectory | file_access::kSynchronize,
                                                    file_share::kRead | file_share::kWrite,
                                                    file_flag::kBackupSemantics | file_flag::kOpenReparsePoint)));
    UniqueHandle listing(platform.kernel, reopened);

    std::vector<std::u16string> names;
    std::uint32_t information_class = file_info_class::kIdBothDirectoryRestartInfo;
    while (names.size() < max_names) {
        auto batch = platform.files.GetFileInformationByHandleEx(listing.get(), information_class);
        if (!batch) {
            const bool first = information_class == file_info_class::kIdBothDirectoryRestartInfo;
            if (batch.error() == SysError::Win32(win32_error::kNoMoreFiles) ||
                (first && batch.error() == SysError::Win32(win32_error::kFileNotFound))) {
                break;
            }
            return FailSys("GetFileInformationByHandleEx(FileIdBothDirectoryInfo)", batch.error());
        }
        if (batch->empty()) break;
        information_class = file_info_class::kIdBothDirectoryInfo;
        for (auto& entry : *batch) {
            if (entry.file_name == u"." || entry.file_name == u"..") continue;
            names.push_back(std::move(entry.file_name));
            if (names.size() == max_names) break;
        }
    }
    return names;
}

Result<void> WalkTreeWithin(Platform& platform, std::u16string_view root, bool with_write_dac,
                            const std::atomic<bool>& cancel, WalkPolicy policy, std::uint64_t object_limit,
                            const TreeVisitor& visitor) {
    std::vector<Level> stack;
    std::uint64_t count = 0;
    std::u16string current(root);
    for (;;) {
        if (cancel.load()) return Fail("sandbox filesystem traversal cancelled");
        if (++count > object_limit) {
            return Fail("sandbox authority exceeds the " + std::to_string(object_limit) + "-object " +
                        (policy == WalkPolicy::cleanup ? "cleanup" : "validation") + " limit");
        }

        TELVO_TRY_ASSIGN(UniqueHandle handle, OpenObjectNoFollow(platform, std::u16string_view(current), with_write_dac));
        TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), std::u16string_view(current)));
        TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform.files, handle.get()));
        // In cleanup a linked object is visited itself and is a leaf.
        const bool leaf_only = policy == WalkPolicy::cleanup && IsLinkedObject(info);
        if (!leaf_only) {
            const std::string shown = winformat::Utf16ToDisplay(current);
            TELVO_TRY_ASSIGN(FileIdentity identity, CheckStableIdentity(info, shown));
            if (identity.file_index == 0) return Fail("filesystem returned no stable identity for " + shown);
        }
        TELVO_TRY(visitor(current, handle.get()));

        if ((info.file_attributes & file_attribute::kDirectory) && !leaf_only) {
            // Names past the remaining budget could never be visited.
            auto names = ListDirectory(platform, handle.get(), object_limit - count + 1);
            if (!names) {
                return Fail(std::move(names.error()).Context("could not enumerate " + winformat::Utf16ToDisplay(current)));
            }
            stack.push_back({std::move(current), std::move(handle), std::move(*names)});
        }

        while (!stack.empty() && stack.back().next == stack.back().names.size()) stack.pop_back();
        if (stack.empty()) return {};
        Level& top = stack.back();
        current = JoinPath(top.path, top.names[top.next++]);
    }
}

Result<void> WalkTree(Platform& platform, std::u16string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor) {
    const std::uint64_t limit = policy == WalkPolicy::cleanup ? kCleanupWalkObjectLimit : kWalkObjectLimit;
    return WalkTreeWithin(platform, root, with_write_dac, cancel, policy, limit, visitor);
}

Result<void> WalkTree(Platform& platform, std::string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(root));
    return WalkTree(platform, std::u16string_view(wide), with_write_dac, cancel, policy, visitor);
}

}  // namespace telvo::winutil
