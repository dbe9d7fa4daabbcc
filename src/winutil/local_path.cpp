#include "winutil/local_path.h"

#include <algorithm>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winformat/ordinal_case.h"
#include "winformat/text.h"
#include "winutil/object_open.h"

namespace telvo::winutil {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDrive(std::string_view text) { return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == ':'; }

}  // namespace

PathSyntax ParsePathSyntax(std::string_view text) {
    PathSyntax syntax;
    std::size_t position = 0;
    bool verbatim = false;
    if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
        // Only \\?\ with backslashes is verbatim; in it only an exact X: followed
        // by \ or the end is a drive. Every other form with two leading
        // separators (\\server\share, \\.\device, \\?\UNC\...) is some other prefix.
        const std::string_view rest = text.substr(text.starts_with("\\\\?\\") ? 4 : 0);
        if (rest.size() == text.size() || !IsDrive(rest) || (rest.size() > 2 && rest[2] != '\\')) {
            syntax.prefix = PathPrefix::other;
            return syntax;
        }
        syntax.prefix = PathPrefix::verbatim_drive;
        position = 6;
        verbatim = true;
    } else if (IsDrive(text)) {
        syntax.prefix = PathPrefix::drive;
        position = 2;
    }
    const auto separates = [verbatim](char c) { return verbatim ? c == '\\' : IsSeparator(c); };
    syntax.has_root = position < text.size() && separates(text[position]);
    while (position < text.size()) {
        while (position < text.size() && separates(text[position])) ++position;
        const std::size_t start = position;
        while (position < text.size() && !separates(text[position])) ++position;
        if (position > start) syntax.components.push_back(text.substr(start, position - start));
    }
    return syntax;
}

bool IsAbsoluteDrivePath(const PathSyntax& syntax) {
    return (syntax.prefix == PathPrefix::drive || syntax.prefix == PathPrefix::verbatim_drive) && syntax.has_root;
}

namespace {

bool HasDotPiece(std::string_view text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\\' || text[i] == '/') {
            const std::string_view piece = text.substr(start, i - start);
            if (piece == "." || piece == "..") return true;
            start = i + 1;
        }
    }
    return false;
}

bool IsPlainName(std::string_view name) {
    if (name == "." || name == "..") return false;
    if (name.find('\0') != std::string_view::npos || name.find(':') != std::string_view::npos) return false;
    return name.back() != '.' && name.back() != ' ';
}

// `/` as `\`, trailing `\` removed.
std::u16string ComparisonForm(std::u16string_view text) {
    std::u16string form(text);
    std::ranges::replace(form, u'/', u'\\');
    while (!form.empty() && form.back() == u'\\') form.pop_back();
    return form;
}

}  // namespace

bool IsNormalizedLocalPath(std::string_view text) {
    if (HasDotPiece(text) || !winformat::Utf8ToUtf16(text)) return false;
    const PathSyntax syntax = ParsePathSyntax(text);
    if (!IsAbsoluteDrivePath(syntax)) return false;
    for (std::string_view name : syntax.components) {
        if (!IsPlainName(name)) return false;
    }
    return true;
}

Result<std::string> ToExtendedPath(std::string_view text) {
    if (!IsNormalizedLocalPath(text)) return Fail("path must be a normalized absolute local-drive path");
    const PathSyntax syntax = ParsePathSyntax(text);
    std::string extended;
    if (syntax.prefix == PathPrefix::verbatim_drive) {
        extended = text;
    } else {
        extended = "\\\\?\\";
        extended += text.substr(0, 2);
        extended += '\\';
        for (std::size_t i = 0; i < syntax.components.size(); ++i) {
            if (i > 0) extended += '\\';
            extended += syntax.components[i];
        }
    }
    // The drive letter is the fifth unit; it is ASCII, so the fifth byte too.
    if (extended[4] >= 'a' && extended[4] <= 'z') extended[4] = static_cast<char>(extended[4] - 'a' + 'A');
    return extended;
}

std::u16string WithoutVerbatimPrefix(std::u16string_view path) {
    const auto letter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    if (path.size() >= 7 && path.starts_with(u"\\\\?\\") && letter(path[4]) && path[5] == u':' && path[6] == u'\\') {
        return std::u16string(path.substr(4));
    }
    return std::u16string(path);
}

bool PathsEqual(std::u16string_view a, std::u16string_view b) {
    return winformat::EqualIgnoringCase(ComparisonForm(a), ComparisonForm(b));
}

bool PathContains(std::u16string_view ancestor, std::u16string_view path) {
    const std::u16string top = ComparisonForm(ancestor);
    const std::u16string below = ComparisonForm(path);
    if (below.size() < top.size()) return false;
    if (!winformat::EqualIgnoringCase(std::u16string_view(below).substr(0, top.size()), top)) return false;
    return below.size() == top.size() || below[top.size()] == u'\\';
}

// Text that is not UTF-8 names no path: it equals and contains nothing.
bool PathsEqual(std::string_view a, std::string_view b) {
    const auto left = winformat::Utf8ToUtf16(a);
    const auto right = winformat::Utf8ToUtf16(b);
    return left && right && PathsEqual(std::u16string_view(*left), std::u16string_view(*right));
}

bool PathContains(std::string_view ancestor, std::string_view path) {
    const auto top = winformat::Utf8ToUtf16(ancestor);
    const auto below = winformat::Utf8ToUtf16(path);
    return top && below && PathContains(std::u16string_view(*top), std::u16string_view(*below));
}

Result<LocalPath> LocalPath::FromText(std::string_view text) {
    TELVO_TRY_ASSIGN(std::string extended, ToExtendedPath(text));
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(extended));
    return LocalPath(std::move(wide), std::move(extended));
}

Result<LocalPath> LocalPath::FromWide(std::u16string_view text) {
    auto utf8 = winformat::Utf16ToUtf8(text);
    if (!utf8) return Fail("path must be a normalized absolute local-drive path");
    return FromText(*utf8);
}

LocalPath LocalPath::Parent() const {
    if (IsVolumeRoot()) return *this;
    // The prefix is ASCII: the same count of units and bytes; the parent of
    // \\?\X:\name keeps the volume root's separator.
    const auto end = [](std::size_t last) { return last + 1 == kVolumeRootUnits ? kVolumeRootUnits : last; };
    return LocalPath(wide_.substr(0, end(wide_.rfind(u'\\'))), text_.substr(0, end(text_.rfind('\\'))));
}

Result<LocalPath> LocalPath::Child(std::string_view name) const {
    if (name.empty() || !IsPlainName(name) || name.find_first_of("\\/") != std::string_view::npos) {
        return Fail("path must be a normalized absolute local-drive path");
    }
    return FromText(IsVolumeRoot() ? text_ + std::string(name) : text_ + "\\" + std::string(name));
}

std::vector<std::string> LocalPath::NamesBelow(const LocalPath& path) const {
    std::vector<std::string> names;
    if (!Contains(path)) return names;
    const std::size_t start = IsVolumeRoot() ? text_.size() - 1 : text_.size();
    for (std::string_view name : ParsePathSyntax(std::string_view(path.text_).substr(start)).components) {
        names.emplace_back(name);
    }
    return names;
}


Result<CanonicalObject> Canonicalize(platform::Platform& platform, std::u16string_view path) {
    TELVO_TRY_ASSIGN(const platform::Handle opened,
                     Lift("CreateFileW", platform.files.CreateFileW(
                                             std::u16string(path), 0,
                                             platform::file_share::kRead | platform::file_share::kWrite |
                                                 platform::file_share::kDelete,
                                             platform::creation_disposition::kOpenExisting,
                                             platform::file_flag::kBackupSemantics)));
    platform::UniqueHandle handle(platform.kernel, opened);
    TELVO_TRY_ASSIGN(std::u16string final_path, ReadFinalPath(platform.files, handle.get()));
    TELVO_TRY_ASSIGN(const platform::FileInformation info, ReadFileInformation(platform.files, handle.get()));
    return CanonicalObject{std::move(final_path), (info.file_attributes & platform::file_attribute::kDirectory) != 0};
}

Result<ResolvedPath> ResolveUserObject(platform::Platform& platform, std::string_view label, std::string_view text) {
    const std::string name(label);
    if (text.find('\0') != std::string_view::npos) return Fail(name + " contains a NUL byte");
    const std::string absolute_message = name + " must be an absolute local drive path";
    if (!IsAbsoluteDrivePath(ParsePathSyntax(text))) return Fail(absolute_message);
    auto wide = winformat::Utf8ToUtf16(text);
    if (!wide) return Fail(std::move(wide.error()).Context(absolute_message));

    const std::string unresolved = name + " does not resolve: " + std::string(text);
    auto object = Canonicalize(platform, *wide);
    if (!object) return Fail(std::move(object.error()).Context(unresolved));
    auto canonical = winformat::Utf16ToUtf8(object->path);
    if (!canonical) return Fail(std::move(canonical.error()).Context(unresolved));

    const PathPrefix prefix = ParsePathSyntax(*canonical).prefix;
    if (prefix != PathPrefix::verbatim_drive && prefix != PathPrefix::drive) {
        return Fail(name + " resolved outside a local drive");
    }
    auto path = LocalPath::FromText(*canonical);
    if (!path) return Fail(std::move(path.error()).Context(unresolved));
    return ResolvedPath{std::move(*path), object->directory};
}

Result<LocalPath> ResolveUserPath(platform::Platform& platform, std::string_view label, std::string_view text) {
    TELVO_TRY_ASSIGN(ResolvedPath resolved, ResolveUserObject(platform, label, text));
    return std::move(resolved.path);
}

}  // namespace telvo::winutil
