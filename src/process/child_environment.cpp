#include "process/child_environment.h"

#include <utility>

#include "common/size_probe.h"
#include "common/try.h"
#include "platform/unique_handle.h"
#include "winformat/text.h"
#include "winutil/local_path.h"

namespace telvo::process {

namespace {

using platform::Platform;

// Windows paths never exceed this many UTF-16 units.
constexpr std::size_t kMaxPathUnits = 32767;

// Searched under the workspace root, in this order.
constexpr std::u16string_view kWorkspaceToolDirectories[] = {u".venv\\Scripts", u"venv\\Scripts",
                                                              u"node_modules\\.bin"};
// Searched under each further root, after the root itself.
constexpr std::u16string_view kRootToolDirectories[] = {u"Scripts", u"bin", u"cmd"};

// A directory that is itself, not a junction or symbolic link standing for
// another one. Anything that cannot be opened or asked counts as absent: the
// entry only helps the command find its tools.
bool IsPlainDirectory(Platform& platform, const std::u16string& path) {
    auto opened = platform.files.CreateFileW(
        path, platform::file_access::kReadAttributes,
        platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete,
        platform::creation_disposition::kOpenExisting,
        platform::file_flag::kBackupSemantics | platform::file_flag::kOpenReparsePoint);
    if (!opened) return false;
    platform::UniqueHandle handle(platform.kernel, *opened);
    auto tag = platform.files.GetFileAttributeTagInfo(handle.get());
    if (!tag || (tag->file_attributes & platform::file_attribute::kDirectory) == 0) return false;
    const bool reparse = (tag->file_attributes & platform::file_attribute::kReparsePoint) != 0;
    return !(reparse && (tag->reparse_tag & platform::reparse_tag::kNameSurrogateBit) != 0);
}

Result<std::u16string> SearchPath(Platform& platform, const CommandProcessor& processor,
                                  const winutil::LocalPath& workspace_root,
                                  const std::vector<winutil::LocalPath>& further_roots) {
    const std::u16string workspace = workspace_root.PlainWide();
    std::vector<std::u16string> entries{processor.system_directory, processor.windows_directory, workspace};
    for (std::u16string_view tools : kWorkspaceToolDirectories) {
        std::u16string candidate = workspace + u"\\" + std::u16string(tools);
        if (IsPlainDirectory(platform, candidate)) entries.push_back(std::move(candidate));
    }
    for (const winutil::LocalPath& further : further_roots) {
        const std::u16string root = further.PlainWide();
        if (!IsPlainDirectory(platform, root)) continue;
        entries.push_back(root);
        for (std::u16string_view tools : kRootToolDirectories) {
            std::u16string candidate = root + u"\\" + std::u16string(tools);
            if (IsPlainDirectory(platform, candidate)) entries.push_back(std::move(candidate));
        }
    }
    std::u16string joined;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && winutil::PathsEqual(entries[i], entries[i - 1])) continue;
        if (!joined.empty()) joined += u';';
        joined += entries[i];
    }
    return joined;
}

}  // namespace

Result<std::u16string> SystemDirectory(platform::System& system) {
    TELVO_TRY_ASSIGN(const std::uint32_t needed, Lift("GetSystemDirectoryW(size)", system.GetSystemDirectoryW({})));
    std::uint32_t length = 0;
    auto bounded = [](std::size_t size) -> Result<std::size_t> {
        if (size > kMaxPathUnits) return Fail("system directory exceeds the supported size");
        return size;
    };
    TELVO_TRY_ASSIGN(const std::size_t first, bounded(needed));
    TELVO_TRY_ASSIGN(const std::vector<char16_t> buffer,
                     ProbeSized<char16_t>(first, kSizeProbeAttempts, "system directory changed size repeatedly",
                                          [&](std::vector<char16_t>& units) -> Result<std::optional<std::size_t>> {
                                              TELVO_TRY_ASSIGN(length, Lift("GetSystemDirectoryW",
                                                                            system.GetSystemDirectoryW(units)));
                                              if (length < units.size()) return std::nullopt;
                                              TELVO_TRY_ASSIGN(const std::size_t grown, bounded(length));
                                              return std::optional<std::size_t>(grown);
                                          }));
    return std::u16string(buffer.data(), length);
}

Result<CommandProcessor> FindCommandProcessor(Platform& platform) {
    TELVO_TRY_ASSIGN(const std::u16string system_directory, SystemDirectory(platform.system));
    // Text that is not UTF-16 names no local drive path.
    const std::string text = winformat::Utf16ToUtf8(system_directory).value_or(std::string());
    const winutil::PathSyntax syntax = winutil::ParsePathSyntax(text);
    if (syntax.prefix != winutil::PathPrefix::drive && syntax.prefix != winutil::PathPrefix::verbatim_drive) {
        return Fail("system directory has no drive prefix");
    }
    if (!winutil::IsNormalizedLocalPath(text)) return Fail("system directory is not on a local drive");
    if (syntax.components.empty()) return Fail("system directory has no Windows parent");

    CommandProcessor processor;
    TELVO_TRY_ASSIGN(const winutil::LocalPath system_directory_path, winutil::LocalPath::FromText(text));
    processor.system_directory = system_directory_path.PlainWide();
    const std::u16string& system = processor.system_directory;
    processor.system_drive = system.substr(0, 2);
    const std::size_t last = system.rfind(u'\\');
    // C:\System32 lies directly below the volume root, which keeps its separator.
    processor.windows_directory = system.substr(0, last == 2 ? 3 : last);

    const std::u16string joined = system + u"\\cmd.exe";
    auto canonical = winutil::Canonicalize(platform, joined);
    if (!canonical) {
        return Fail(std::move(canonical.error())
                        .Context("system command processor is unavailable at " + winformat::Utf16ToDisplay(joined)));
    }
    processor.path = winutil::WithoutVerbatimPrefix(canonical->path);
    return processor;
}

Result<ChildEnvironment> BuildChildEnvironment(Platform& platform, std::string_view home,
                                               const winutil::LocalPath& workspace_root,
                                               const std::vector<winutil::LocalPath>& further_roots) {
    TELVO_TRY_ASSIGN(const CommandProcessor processor, FindCommandProcessor(platform));
    TELVO_TRY_ASSIGN(const std::u16string home_directory, winformat::Utf8ToUtf16(home));
    const std::u16string temp = home_directory + u"\\Temp";
    TELVO_TRY_ASSIGN(const std::u16string path, SearchPath(platform, processor, workspace_root, further_roots));

    // In the order of kChildVariables.
    const std::u16string values[] = {
        processor.path,         home_directory,   home_directory,
        path,                   u".COM;.EXE;.BAT;.CMD",
        processor.system_drive, processor.windows_directory,
        temp,                   temp,
        home_directory,         processor.windows_directory,
    };
    static_assert(std::size(values) == std::size(kChildVariables));
    ChildEnvironment environment;
    for (std::size_t i = 0; i < std::size(values); ++i) {
        // A NUL would end the entry early and turn the rest into another variable.
        if (values[i].find(u'\0') != std::u16string::npos) return Fail("invalid character in child environment");
        environment.block += winformat::AsciiToUtf16(kChildVariables[i]) + u"=" + values[i];
        environment.block += u'\0';
    }
    environment.block += u'\0';
    return environment;
}

}  // namespace telvo::process
