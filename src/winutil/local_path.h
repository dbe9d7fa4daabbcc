#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// The prefix of a Windows path: a drive (C:), a verbatim drive (\\?\C:), any
// other prefix (UNC, verbatim UNC, other verbatim, device namespace), or none.
enum class PathPrefix { none, drive, verbatim_drive, other };

// A Windows path taken apart the way Windows path parsing does it: the prefix,
// whether a root separator follows it, and the components (empty ones, from
// repeated separators, skipped). In a verbatim path only `\` separates; in any
// other path `/` does too.
struct PathSyntax {
    PathPrefix prefix = PathPrefix::none;
    bool has_root = false;
    std::vector<std::string_view> components;
};

PathSyntax ParsePathSyntax(std::string_view text);

// A drive or verbatim-drive prefix followed by the root separator.
bool IsAbsoluteDrivePath(const PathSyntax& syntax);

// A normalized absolute local-drive path: X:\ or \\?\X:\ followed by plain
// names only (no "." or "..", no NUL, no ':', none ending in '.' or a space).
bool IsNormalizedLocalPath(std::string_view text);

// The extended form (\\?\X:\..., upper-case drive letter) of a normalized
// local path. A plain path is written with `\` separators only, each name once
// (C:/a//b becomes \\?\C:\a\b); a verbatim path keeps its text.
Result<std::string> ToExtendedPath(std::string_view text);

// The Win32 form of an extended drive path: \\?\C:\a becomes C:\a; any other
// text is returned as it is. For texts that Windows parses as ordinary paths
// (environment values, command lines).
std::u16string WithoutVerbatimPrefix(std::u16string_view path);

// Ordinal, case-insensitive comparisons in which `/` equals `\` and trailing
// separators do not count (C:\ compares as C:).
bool PathsEqual(std::string_view a, std::string_view b);
// The path equals the ancestor or lies below it.
bool PathContains(std::string_view ancestor, std::string_view path);
bool PathsEqual(std::u16string_view a, std::u16string_view b);
bool PathContains(std::u16string_view ancestor, std::u16string_view path);

// A normalized absolute local-drive path as one value, made once where a
// path enters (a controller's text, a final path the system reported) and
// held in its extended form: \\?\X:\a\b, upper-case drive letter, `\`
// separators, each name once, in UTF-16 and in UTF-8. Two values compare
// ordinally ignoring case; the plain form X:\a\b is only for the texts that
// Windows parses as paths (a working directory, PATH, a command line).
class LocalPath {
public:
    // "path must be a normalized absolute local-drive path" otherwise.
    static Result<LocalPath> FromText(std::string_view text);
    static Result<LocalPath> FromWide(std::u16string_view text);

    const std::u16string& wide() const { return wide_; }
    // The extended form as UTF-8: what messages and the journal show.
    const std::string& text() const { return text_; }
    std::u16string PlainWide() const { return wide_.substr(4); }
    bool IsVolumeRoot() const { return wide_.size() == kVolumeRootUnits; }
    // The directory above; a volume root is its own parent.
    LocalPath Parent() const;
    // The path of the plain name `name` below this one.
    Result<LocalPath> Child(std::string_view name) const;
    // The names of `path` below this one (none when it is not inside).
    std::vector<std::string> NamesBelow(const LocalPath& path) const;

    // This path, or a path below it.
    bool Contains(const LocalPath& path) const { return PathContains(wide_, path.wide_); }
    bool Contains(std::u16string_view path) const { return PathContains(wide_, path); }
    bool Overlaps(const LocalPath& other) const { return Contains(other) || other.Contains(*this); }
    bool operator==(const LocalPath& other) const { return PathsEqual(wide_, other.wide_); }
    bool operator==(std::u16string_view path) const { return PathsEqual(wide_, path); }

private:
    static constexpr std::size_t kVolumeRootUnits = 7;  // the units of \\?\X:\ with its separator
    LocalPath(std::u16string wide, std::string text) : wide_(std::move(wide)), text_(std::move(text)) {}

    std::u16string wide_;
    std::string text_;
};

// What the operating system makes of a path: the object it names, opened
// through every reparse point (for no access, sharing everything, with backup
// semantics so that directories open), its final path (\\?\X:\... for a local
// object, in the real case) and whether it is a directory. Failures are the
// calls' own ("CreateFileW failed with Win32 error <n>", ...), for the caller
// to give a context.
struct CanonicalObject {
    std::u16string path;
    bool directory = false;
};
Result<CanonicalObject> Canonicalize(platform::Platform& platform, std::u16string_view path);

// The canonical form (\\?\X:\..., through reparse points, in the real case) of
// an absolute local-drive path from the controller. `label` names the request
// field in messages.
struct ResolvedPath {
    LocalPath path;
    bool directory = false;
};
Result<ResolvedPath> ResolveUserObject(platform::Platform& platform, std::string_view label, std::string_view text);
Result<LocalPath> ResolveUserPath(platform::Platform& platform, std::string_view label, std::string_view text);

}  // namespace telvo::winutil
