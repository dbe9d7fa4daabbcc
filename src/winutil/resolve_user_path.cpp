#include "winutil/resolve_user_path.h"

#include "platform/unique_handle.h"
#include "winutil/final_path.h"
#include "winutil/path_syntax.h"
#include "winformat/text.h"

namespace telvo::winutil {

using namespace platform;

Result<std::string> ResolveUserPath(Platform& platform, std::string_view label, std::string_view text) {
    const std::string name(label);
    if (text.find('\0') != std::string_view::npos) return Fail(name + " contains a NUL byte");
    const std::string absolute_message = name + " must be an absolute local drive path";
    if (!IsAbsoluteDrivePath(ParsePathSyntax(text))) return Fail(absolute_message);
    auto wide = winformat::Utf8ToUtf16(text);
    if (!wide) return Fail(std::move(wide.error()).Context(absolute_message));

    const std::string unresolved = name + " does not resolve: " + std::string(text);
    auto opened = platform.files.CreateFileW(*wide, 0, file_share::kRead | file_share::kWrite | file_share::kDelete,
                                             creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
    if (!opened) return Fail(Error::FromSys("CreateFileW", opened.error()).Context(unresolved));
    UniqueHandle handle(platform.kernel, *opened);
    auto canonical = ReadFinalPath(platform.files, handle.get());
    if (!canonical) return Fail(std::move(canonical.error()).Context(unresolved));

    const PathPrefix prefix = ParsePathSyntax(*canonical).prefix;
    if (prefix != PathPrefix::verbatim_drive && prefix != PathPrefix::drive) {
        return Fail(name + " resolved outside a local drive");
    }
    return std::move(*canonical);
}

}  // namespace telvo::winutil
