#include "winutil/local_path.h"

#include <optional>

#include "winformat/ordinal_case.h"
#include "winutil/path_syntax.h"
#include "winformat/text.h"

namespace telvo::winutil {

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

// UTF-16, `/` as `\`, trailing `\` removed; nothing for text that is not UTF-8.
std::optional<std::u16string> ComparisonForm(std::string_view text) {
    auto wide = winformat::Utf8ToUtf16(text);
    if (!wide) return std::nullopt;
    for (auto& unit : *wide) {
        if (unit == u'/') unit = u'\\';
    }
    while (!wide->empty() && wide->back() == u'\\') wide->pop_back();
    return std::move(*wide);
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

bool PathsEqual(std::string_view a, std::string_view b) {
    const auto left = ComparisonForm(a);
    const auto right = ComparisonForm(b);
    return left && right && winformat::EqualIgnoringCase(*left, *right);
}

bool PathContains(std::string_view ancestor, std::string_view path) {
    const auto top = ComparisonForm(ancestor);
    const auto below = ComparisonForm(path);
    if (!top || !below || below->size() < top->size()) return false;
    if (!winformat::EqualIgnoringCase(std::u16string_view(*below).substr(0, top->size()), *top)) return false;
    return below->size() == top->size() || (*below)[top->size()] == u'\\';
}

}  // namespace telvo::winutil
