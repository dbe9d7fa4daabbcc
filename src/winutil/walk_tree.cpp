#include "winutil/walk_tree.h"

#include <optional>
#include <set>
#include <string>
#include <utility>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winformat/text.h"
#include "winutil/object_open.h"

namespace telvo::winutil {

using namespace platform;

namespace {

// A Windows path ends at 32767 UTF-16 units; a longer one cannot be opened.
constexpr std::size_t kMaxPathUnits = 32767;

constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;
constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033;
constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr std::uint32_t kStatusObjectPathNotFound = 0xC000003A;

// A directory's listing through its own handle. Up to kHeldNames names are
// read at once and the handle closed when that was all; a larger directory
// is read on a batch at a time, its handle held, so that a directory with
// any number of names costs a bounded amount of memory.
class Listing {
public:
    static constexpr std::size_t kHeldNames = 4096;

    static Result<Listing> Open(Platform& platform, Handle directory) {
        TELVO_TRY_ASSIGN(Handle reopened,
                         Lift("ReOpenFile(list directory)",
                              platform.files.ReOpenFile(directory, file_access::kListDirectory | file_access::kSynchronize,
                                                        file_share::kRead | file_share::kWrite,
                                                        file_flag::kBackupSemantics | file_flag::kOpenReparsePoint)));
        Listing listing(UniqueHandle(platform.kernel, reopened));
        while (!listing.exhausted_ && listing.names_.size() < kHeldNames) TELVO_TRY(listing.ReadBatch(platform));
        if (listing.exhausted_) listing.handle_.reset();
        return listing;
    }

    // The next name, or nothing at the end.
    Result<std::optional<std::u16string>> Next(Platform& platform) {
        while (next_ == names_.size()) {
            if (exhausted_) return std::nullopt;
            names_.clear();
            next_ = 0;
            TELVO_TRY(ReadBatch(platform));
        }
        return std::optional<std::u16string>(std::move(names_[next_++]));
    }

private:
    explicit Listing(UniqueHandle handle) : handle_(std::move(handle)) {}

    Result<void> ReadBatch(Platform& platform) {
        const bool first = information_class_ == file_info_class::kIdBothDirectoryRestartInfo;
        auto batch = platform.files.GetFileInformationByHandleEx(handle_.get(), information_class_);
        if (!batch) {
            if (batch.error() == SysError::Win32(win32_error::kNoMoreFiles) ||
                (first && batch.error() == SysError::Win32(win32_error::kFileNotFound))) {
                exhausted_ = true;
                return {};
            }
            return FailSys("GetFileInformationByHandleEx(FileIdBothDirectoryInfo)", batch.error());
        }
        if (batch->empty()) exhausted_ = true;
        information_class_ = file_info_class::kIdBothDirectoryInfo;
        for (auto& entry : *batch) {
            if (entry.file_name != u"." && entry.file_name != u"..") names_.push_back(std::move(entry.file_name));
        }
        return {};
    }

    UniqueHandle handle_;
    std::uint32_t information_class_ = file_info_class::kIdBothDirectoryRestartInfo;
    std::vector<std::u16string> names_;
    std::size_t next_ = 0;
    bool exhausted_ = false;
};

// An open directory whose children are being visited.
struct Level {
    std::u16string path;
    UniqueHandle handle;
    Listing listing;
};

std::u16string JoinPath(const std::u16string& parent, const std::u16string& name) {
    return parent.ends_with(u'\\') ? parent + name : parent + u"\\" + name;
}

// One walk: the prove walk (cleanup == nullptr) or the cleanup walk, which
// counts what it passes over in `cleanup`.
class Walk {
public:
    Walk(Platform& platform, bool write_dac, const std::atomic<bool>& cancel, std::uint64_t object_limit,
         CleanupWalkTally* cleanup)
        : platform_(platform), write_dac_(write_dac), cancel_(cancel), object_limit_(object_limit), cleanup_(cleanup) {}

    Result<void> Run(std::u16string root, const CleanupVisitor& visitor) {
        std::vector<Level> stack;
        std::optional<std::u16string> current(std::move(root));
        while (current) {
            TELVO_TRY(VisitAndEnter(*current, visitor, stack));
            TELVO_TRY_ASSIGN(current, NextPath(stack));
        }
        return {};
    }

private:
    struct Opened {
        UniqueHandle handle;
        bool write_dac = false;
    };

    Result<void> PastBound() {
        if (cleanup_) cleanup_->past_bound = true;
        return Fail("sandbox authority exceeds the " + std::to_string(object_limit_) + "-object " +
                    (cleanup_ ? "cleanup" : "validation") + " limit");
    }

    Result<void> CountObject() {
        if (++objects_ > object_limit_) return PastBound();
        if (cleanup_) ++cleanup_->objects;
        return {};
    }

    // The prove walk opens with CreateFileW; the cleanup walk with NtOpenFile,
    // falling back to reading where WRITE_DAC is refused. Nothing: passed over.
    Result<std::optional<Opened>> OpenObject(const std::u16string& path) {
        if (!cleanup_) {
            TELVO_TRY_ASSIGN(UniqueHandle handle, OpenObjectNoFollow(platform_, std::u16string_view(path), write_dac_));
            return std::optional<Opened>(Opened{std::move(handle), write_dac_});
        }
        if (path.size() > kMaxPathUnits) {
            ++cleanup_->unnameable;
            return std::nullopt;
        }
        auto opened = NtOpenObjectNoFollow(platform_, path, write_dac_);
        bool with_write_dac = write_dac_;
        if (!opened && write_dac_ && opened.error() == SysError::NtStatus(kStatusAccessDenied)) {
            opened = NtOpenObjectNoFollow(platform_, path, false);
            with_write_dac = false;
        }
        if (opened) return std::optional<Opened>(Opened{UniqueHandle(platform_.kernel, *opened), with_write_dac});
        const SysError& error = opened.error();
        if (error == SysError::NtStatus(kStatusAccessDenied) || error == SysError::NtStatus(kStatusObjectNameInvalid)) {
            ++(error == SysError::NtStatus(kStatusAccessDenied) ? cleanup_->unopened : cleanup_->unnameable);
            return std::nullopt;
        }
        if (error == SysError::NtStatus(kStatusObjectNameNotFound) ||
            error == SysError::NtStatus(kStatusObjectPathNotFound)) {
            return std::nullopt;  // gone since it was listed
        }
        return FailSys("NtOpenFile(" + winformat::Utf16ToDisplay(path) + ")", error);
    }

    Result<void> VisitAndEnter(std::u16string& path, const CleanupVisitor& visitor, std::vector<Level>& stack) {
        if (cancel_.load()) return Fail("sandbox filesystem traversal cancelled");
        if (++names_ > object_limit_ * kMaxNamesPerObject) return PastBound();
        TELVO_TRY_ASSIGN(std::optional<Opened> opened, OpenObject(path));
        if (!opened) return {};
        TELVO_TRY(VerifyFinalPath(platform_.files, opened->handle.get(), std::u16string_view(path)));
        TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform_.files, opened->handle.get()));
        // In cleanup a linked object is visited itself, once, and is a leaf.
        const bool leaf_only = cleanup_ && IsLinkedObject(info);
        if (leaf_only) {
            const auto identity = std::pair(info.volume_serial_number,
                                            (std::uint64_t{info.file_index_high} << 32) | info.file_index_low);
            if (!linked_seen_.insert(identity).second) {
                ++cleanup_->extra_names;
                return {};
            }
        } else {
            const std::string shown = winformat::Utf16ToDisplay(path);
            TELVO_TRY_ASSIGN(FileIdentity identity, CheckStableIdentity(info, shown));
            if (identity.file_index == 0) return Fail("filesystem returned no stable identity for " + shown);
        }
        TELVO_TRY(CountObject());
        TELVO_TRY(visitor(CleanupObject{path, opened->handle.get(), opened->write_dac}));

        if (!(info.file_attributes & file_attribute::kDirectory) || leaf_only) return {};
        auto listing = Listing::Open(platform_, opened->handle.get());
        if (!listing) {
            if (cleanup_ && listing.error().IsWin32(win32_error::kAccessDenied)) {
                ++cleanup_->unlisted;
                return {};
            }
            return Fail(std::move(listing.error()).Context("could not enumerate " + winformat::Utf16ToDisplay(path)));
        }
        stack.push_back({std::move(path), std::move(opened->handle), std::move(*listing)});
        return {};
    }

    // The path of the next object in pre-order, or nothing at the end.
    Result<std::optional<std::u16string>> NextPath(std::vector<Level>& stack) {
        while (!stack.empty()) {
            Level& top = stack.back();
            auto name = top.listing.Next(platform_);
            if (!name) {
                return Fail(std::move(name.error()).Context("could not enumerate " + winformat::Utf16ToDisplay(top.path)));
            }
            if (*name) return std::optional<std::u16string>(JoinPath(top.path, **name));
            stack.pop_back();
        }
        return std::nullopt;
    }

    Platform& platform_;
    const bool write_dac_;
    const std::atomic<bool>& cancel_;
    const std::uint64_t object_limit_;
    CleanupWalkTally* const cleanup_;
    std::uint64_t objects_ = 0;
    std::uint64_t names_ = 0;
    std::set<std::pair<std::uint32_t, std::uint64_t>> linked_seen_;
};

}  // namespace

Result<std::vector<std::u16string>> ListDirectory(Platform& platform, Handle directory, std::size_t max_names) {
    TELVO_TRY_ASSIGN(Listing listing, Listing::Open(platform, directory));
    std::vector<std::u16string> names;
    while (names.size() < max_names) {
        TELVO_TRY_ASSIGN(auto name, listing.Next(platform));
        if (!name) break;
        names.push_back(std::move(*name));
    }
    return names;
}

Result<void> WalkTreeForCleanup(Platform& platform, std::u16string_view root, bool want_write_dac,
                                std::uint64_t object_limit, const CleanupVisitor& visitor, CleanupWalkTally& tally) {
    // Cleanup is never cancelled: it undoes as much as it can.
    const std::atomic<bool> never_cancelled{false};
    return Walk(platform, want_write_dac, never_cancelled, object_limit, &tally).Run(std::u16string(root), visitor);
}

Result<void> WalkTreeWithin(Platform& platform, std::u16string_view root, bool with_write_dac,
                            const std::atomic<bool>& cancel, WalkPolicy policy, std::uint64_t object_limit,
                            const TreeVisitor& visitor) {
    const CleanupVisitor adapted = [&](const CleanupObject& object) { return visitor(object.path, object.handle); };
    if (policy == WalkPolicy::cleanup) {
        CleanupWalkTally tally;
        return WalkTreeForCleanup(platform, root, with_write_dac, object_limit, adapted, tally);
    }
    return Walk(platform, with_write_dac, cancel, object_limit, nullptr).Run(std::u16string(root), adapted);
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
