#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// The protected service query: which process is the offline-network broker,
// proved from the Service Control Manager and the file system, never from
// the pipe itself. Both the client (before it writes a byte to the pipe) and
// the service (checking itself) rely on it.
//
// The installed service has one fixed configuration, and anything else is
// "existing Telvo network service has a foreign configuration; no changes
// made":
// - the service "TelvoOfflineNetwork" runs in its own process
//   (SERVICE_WIN32_OWN_PROCESS, nothing more), starts automatically
//   (SERVICE_AUTO_START: the WFP layout's provider names the service, and
//   the filtering engine restores a provider's objects at boot only for an
//   auto-start service) and runs as LocalSystem ("LocalSystem" or
//   ".\LocalSystem", ignoring case);
// - its command line is exactly the quoted installed executable followed by
//   " --network-service" (ignoring case). The executable is
//   "telvo-windows-sandbox.exe" in the directory "TelvoOfflineNetwork" under
//   the machine's Program Files directory, which comes from the REG_SZ value
//   ProgramFilesDir of HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion (64-bit
//   view), never expanded from anyone's environment, and must be a
//   normalized local drive path below a drive root;
// - the service object is owned by LocalSystem or Administrators, and no
//   entry of its DACL lets anyone else change its configuration, stop,
//   pause or control it (user-defined controls included: by default any
//   interactive user may send them), delete it or change its permissions;
// - the executable's directory and the executable are neither reparse
//   points nor (the file) hard-linked, are owned by LocalSystem,
//   Administrators or TrustedInstaller, and no entry of their DACLs that
//   applies to the object lets anyone else write data, attributes or
//   extended attributes, append, delete (children, for the directory),
//   change permissions or take ownership. Deny entries only take rights
//   away and are not counted; an entry whose type cannot be read, or a null
//   DACL, fails the proof.
//
// A missing service is "offline network service is not installed; run telvo
// runtime windows-sandbox prepare --network from an Administrator terminal";
// a manager that cannot be opened is the Win32 error of
// "OpenSCManagerW(network setup)"; the other calls fail with their own Win32
// errors. The process id is the one the Service Control Manager reports:
// 0 when the service is not running, which no pipe server can match.
struct ProtectedService {
    std::uint32_t process_id = 0;
    std::u16string image_path;  // X:\...\TelvoOfflineNetwork\telvo-windows-sandbox.exe
};

Result<ProtectedService> QueryProtectedService(platform::Platform& platform);

// Whether the Service Control Manager knows the service at all: false only
// for ERROR_SERVICE_DOES_NOT_EXIST (1060); any other failure is an error.
Result<bool> NetworkServiceInstalled(platform::Platform& platform);

// The installed executable's full path, from ProgramFilesDir.
Result<std::u16string> InstalledServiceImagePath(platform::Platform& platform);

// The service object behind `service` (opened with QUERY_CONFIG and
// READ_CONTROL) has the fixed configuration and a descriptor that lets only
// LocalSystem and Administrators change or control it; otherwise the
// foreign-configuration error.
Result<void> CheckServiceObject(platform::Platform& platform, platform::ServiceHandle service,
                                const std::u16string& image_path);

// Whether the directory (or, with `directory` false, the executable) at
// `path` is what the installed configuration requires of it.
Result<bool> IsProtectedServiceObject(platform::Platform& platform, const std::u16string& path, bool directory);

// What a service that is not exactly the installed one is called; nothing is changed then.
inline constexpr char kForeignServiceConfiguration[] =
    "existing Telvo network service has a foreign configuration; no changes made";

}  // namespace telvo::network_broker
