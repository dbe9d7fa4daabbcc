#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "winutil/recorded_path.h"

namespace telvo::winutil {

// Opening an object and proving what was opened. Paths are UTF-16 where they
// meet Windows; the UTF-8 forms convert strictly. A path given for messages
// only is UTF-8 text.

// Opens the object a path names without following a reparse point in its last
// name: READ_CONTROL (and WRITE_DAC when asked), sharing read and write but
// never delete, backup semantics so that directories open. Fails as
// "CreateFileW(<path>)".
Result<platform::UniqueHandle> OpenObjectNoFollow(platform::Platform& platform, std::u16string_view path,
                                                  bool with_write_dac);
Result<platform::UniqueHandle> OpenObjectNoFollow(platform::Platform& platform, std::string_view path,
                                                  bool with_write_dac);

// The same open through NtOpenFile, asking for READ_CONTROL and
// FILE_READ_ATTRIBUTES (and WRITE_DAC when asked) and nothing else, where
// CreateFileW would add SYNCHRONIZE: an owner whose object's DACL grants it
// nothing still opens it through the owner's implicit rights (and its
// parent's listing right). The path is in extended form.
SysResult<platform::Handle> NtOpenObjectNoFollow(platform::Platform& platform, std::u16string_view path,
                                                 bool with_write_dac);

// The final path of an open object (normalised name, DOS volume name), as
// GetFinalPathNameByHandleW reports it: \\?\X:\... for a local object. The
// first call passes a buffer of `expected_units` (so that the usual answer
// takes one call) and serves as the size probe ("GetFinalPathNameByHandleW(size)");
// a path that grows between the sized calls is read again, at most three
// sized calls, then "final path changed size repeatedly".
Result<std::u16string> ReadFinalPath(platform::Files& files, platform::Handle handle,
                                     std::size_t expected_units = 0);

// The object's final path names `expected` (PathsEqual), or the error
// "path identity changed while establishing the sandbox: ...".
Result<void> VerifyFinalPath(platform::Files& files, platform::Handle handle, std::u16string_view expected);
Result<void> VerifyFinalPath(platform::Files& files, platform::Handle handle, std::string_view expected);

// GetFileInformationByHandle, failing as "GetFileInformationByHandle failed with Win32 error <n>".
Result<platform::FileInformation> ReadFileInformation(platform::Files& files, platform::Handle handle);

// Whether the object is a reparse point or has a second hard link: such an
// object has no stable identity in an authority.
bool IsLinkedObject(const platform::FileInformation& info);

// The identity of an object that is neither a reparse point nor hard-linked;
// `path` is for messages. The file index may be 0: callers that need an
// identity refuse that.
Result<FileIdentity> CheckStableIdentity(const platform::FileInformation& info, std::string_view path);
Result<FileIdentity> StableIdentity(platform::Files& files, platform::Handle handle, std::string_view path);

// The volume of the open object keeps ACLs (FILE_PERSISTENT_ACLS); `path` is for messages.
Result<void> RequirePersistentAcls(platform::Files& files, platform::Handle handle, std::string_view path);

// Opens a regular file for reading (standard read rights, sharing read only,
// not following a reparse point) and proves that it is the file `path` names,
// not a reparse point, not hard-linked and not a directory.
Result<platform::UniqueHandle> OpenRegularFileForRead(platform::Platform& platform, std::string_view path);

}  // namespace telvo::winutil
