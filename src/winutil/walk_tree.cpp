#include "winutil/walk_tree.h"

#include <vector>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winutil/directory_listing.h"
#include "winutil/final_path.h"
#include "winutil/object_open.h"
#include "winutil/stable_identity.h"

namespace telvo::winutil {

using namespace platform;

namespace {

// An open directory whose children are being visited.
struct Level {
    std::string path;
    UniqueHandle handle;
    std::vector<std::string> names;
    std::size_t next = 0;
};

std::string JoinPath(const std::string& parent, const std::string& name) {
    return parent.ends_with('\\') ? parent + name : parent + "\\" + name;
}

}  // namespace

Result<void> WalkTree(Platform& platform, std::string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, const TreeVisitor& visitor) {
    std::vector<Level> stack;
    std::uint64_t count = 0;
    std::string current(root);
    for (;;) {
        if (cancel.load()) return Fail("sandbox filesystem traversal cancelled");
        if (++count > kWalkObjectLimit) return Fail("sandbox authority exceeds the 500000-object validation limit");

        TELVO_TRY_ASSIGN(UniqueHandle handle, OpenObjectNoFollow(platform, current, with_write_dac));
        TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), current));
        TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform.files, handle.get()));
        TELVO_TRY_ASSIGN(FileIdentity identity, CheckStableIdentity(info, current));
        if (identity.file_index == 0) return Fail("filesystem returned no stable identity for " + current);
        TELVO_TRY(visitor(current, handle.get()));

        if (info.file_attributes & file_attribute::kDirectory) {
            // Names past the remaining budget could never be visited.
            auto names = ListDirectory(platform, handle.get(), kWalkObjectLimit - count + 1);
            if (!names) return Fail(std::move(names.error()).Context("could not enumerate " + current));
            stack.push_back({std::move(current), std::move(handle), std::move(*names)});
        }

        while (!stack.empty() && stack.back().next == stack.back().names.size()) stack.pop_back();
        if (stack.empty()) return {};
        Level& top = stack.back();
        current = JoinPath(top.path, top.names[top.next++]);
    }
}

}  // namespace telvo::winutil
