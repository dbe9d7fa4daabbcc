#include "winutil/path_syntax.h"

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

}  // namespace telvo::winutil
