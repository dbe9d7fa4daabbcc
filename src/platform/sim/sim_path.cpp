#include "platform/sim/sim_path.h"

#include "platform/sim/sim_object.h"
#include "common/try.h"
#include "platform/types.h"

namespace telvo::platform::sim {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
char16_t UpperLetter(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }


std::vector<std::u16string> Split(std::u16string_view text, bool verbatim) {
    std::vector<std::u16string> pieces;
    std::u16string piece;
    for (char16_t c : text) {
        if (c == u'\\' || (!verbatim && c == u'/')) {
            pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    pieces.push_back(std::move(piece));
    return pieces;
}

SysResult<std::vector<std::u16string>> VerbatimNames(std::u16string_view rest) {
    std::vector<std::u16string> names;
    if (rest.empty()) return names;
    auto pieces = Split(rest, true);
    if (pieces.back().empty()) pieces.pop_back();  // one trailing separator is accepted
    for (auto& piece : pieces) {
        if (piece.empty() || piece == u"." || piece == u"..") return Win32Failure(win32_error::kInvalidName);
        names.push_back(std::move(piece));
    }
    return names;
}

std::vector<std::u16string> NormalisedNames(std::u16string_view rest) {
    std::vector<std::u16string> names;
    const bool ends_with_separator = !rest.empty() && IsSeparator(rest.back());
    auto pieces = Split(rest, false);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        auto& piece = pieces[i];
        if (i + 1 == pieces.size() && !ends_with_separator) {
            while (!piece.empty() && (piece.back() == u'.' || piece.back() == u' ')) {
                if (piece == u"." || piece == u"..") break;
                piece.pop_back();
            }
        }
        if (piece.empty() || piece == u".") continue;
        if (piece == u"..") {
            if (!names.empty()) names.pop_back();
            continue;
        }
        names.push_back(std::move(piece));
    }
    return names;
}

// "server\share" and the rest after it, from text that follows "\\" or "\\?\UNC\".
bool SplitShare(std::u16string_view text, bool verbatim, std::u16string& root, std::u16string_view& rest) {
    std::size_t separators = 0;
    std::size_t end = 0;
    for (; end < text.size(); ++end) {
        const bool separates = verbatim ? text[end] == u'\\' : IsSeparator(text[end]);
        if (separates && ++separators == 2) break;
    }
    const std::u16string_view share = text.substr(0, end);
    const std::size_t middle = share.find_first_of(verbatim ? u"\\" : u"\\/");
    if (middle == 0 || middle == std::u16string_view::npos || middle + 1 == share.size()) return false;
    root = u"UNC\\" + std::u16string(share.substr(0, middle)) + u"\\" + std::u16string(share.substr(middle + 1));
    rest = text.substr(std::min(end + 1, text.size()));
    return true;
}

}  // namespace

SysResult<SimPath> ParseSimPath(std::u16string_view text) {
    text = text.substr(0, text.find(u'\0'));
    SimPath path;
    std::u16string_view rest;
    if (text.starts_with(u"\\\\?\\")) {
        const std::u16string_view body = text.substr(4);
        if (body.starts_with(u"UNC\\")) {
            if (!SplitShare(body.substr(4), true, path.root, rest)) return Win32Failure(win32_error::kInvalidName);
        } else if (body.size() >= 2 && IsLetter(body[0]) && body[1] == u':' && (body.size() == 2 || body[2] == u'\\')) {
            path.root = {UpperLetter(body[0]), u':'};
            rest = body.substr(std::min<std::size_t>(3, body.size()));
        } else {
            return Win32Failure(win32_error::kPathNotFound);
        }
        TELVO_TRY_ASSIGN(path.names, VerbatimNames(rest));
        return path;
    }
    if (text.size() >= 3 && IsLetter(text[0]) && text[1] == u':' && IsSeparator(text[2])) {
        path.root = {UpperLetter(text[0]), u':'};
        rest = text.substr(3);
    } else if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]) &&
               !(text.size() >= 3 && (text[2] == u'.' || text[2] == u'?'))) {
        if (!SplitShare(text.substr(2), false, path.root, rest)) return Win32Failure(win32_error::kInvalidName);
    } else {
        return Win32Failure(win32_error::kPathNotFound);
    }
    path.names = NormalisedNames(rest);
    return path;
}

std::u16string ExtendedText(const std::u16string& root, const std::vector<std::u16string>& names) {
    std::u16string text = u"\\\\?\\" + root + u"\\";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += u'\\';
        text += names[i];
    }
    return text;
}

}  // namespace telvo::platform::sim
