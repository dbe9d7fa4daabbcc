#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "winutil/local_path.h"

namespace telvo::process {

// What the sandboxed command starts with besides its command line: the
// system command processor it runs through, and a small environment of its
// own, never the helper's.

// The system directory as GetSystemDirectoryW reports it: the length is
// asked first ("GetSystemDirectoryW(size)"), then the text
// ("GetSystemDirectoryW"); a directory that grows in between is asked again.
Result<std::u16string> SystemDirectory(platform::System& system);

// Where the command processor lives. Paths are in their Win32 form (no
// \\?\ prefix): they go into the environment and the command line.
struct CommandProcessor {
    std::u16string system_directory;   // C:\Windows\System32
    std::u16string windows_directory;  // its parent, C:\Windows
    std::u16string system_drive;       // C:
    std::u16string path;               // cmd.exe in the system directory, canonicalised
};

// The system directory must be a normalized local-drive path ("system
// directory has no drive prefix", "system directory is not on a local
// drive") with a parent ("system directory has no Windows parent"). cmd.exe
// in it is canonicalised through the operating system; failing that: "system
// command processor is unavailable at <path>" with the cause.
Result<CommandProcessor> FindCommandProcessor(platform::Platform& platform);

// The variables of every child, in the order of the block (sorted as
// Windows wants an environment block sorted: by name, ignoring case).
inline constexpr std::string_view kChildVariables[] = {
    "COMSPEC", "HOME", "LOCALAPPDATA", "PATH", "PATHEXT", "SystemDrive",
    "SystemRoot", "TEMP", "TMP", "USERPROFILE", "WINDIR",
};
// The block separates a name from its value at the first '='.
static_assert([] {
    for (std::string_view name : kChildVariables) {
        if (name.empty() || name.find('=') != std::string_view::npos) return false;
    }
    return true;
}());

// A Unicode environment block: "NAME=value" entries, each ending in NUL, and
// one more NUL at the end.
struct ChildEnvironment {
    std::u16string block;
};

// The child's whole environment: exactly kChildVariables. HOME, LOCALAPPDATA
// and USERPROFILE are `home` (the AppContainer's folder), TEMP and TMP its
// "Temp" subdirectory; COMSPEC is the command processor, PATHEXT
// ".COM;.EXE;.BAT;.CMD", SystemRoot and WINDIR the Windows directory,
// SystemDrive its drive. PATH holds the system directory, the Windows
// directory and `workspace_root`; then the workspace's .venv\Scripts,
// venv\Scripts and node_modules\.bin; then each of `further_roots` with its
// Scripts, bin and cmd subdirectories. Every entry after the first three
// only when it is a directory and not a junction or symbolic link (a name
// surrogate). An entry equal to the one before it (PathsEqual) is dropped. A
// value holding NUL, which the block cannot carry, fails with "invalid
// character in child environment". Roots appear in their plain form.
Result<ChildEnvironment> BuildChildEnvironment(platform::Platform& platform, std::string_view home,
                                               const winutil::LocalPath& workspace_root,
                                               const std::vector<winutil::LocalPath>& further_roots);

}  // namespace telvo::process
