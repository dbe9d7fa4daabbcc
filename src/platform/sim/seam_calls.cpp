#include "platform/sim/seam_calls.h"

#include <algorithm>
#include <array>

namespace telvo::platform::sim {

namespace {

constexpr std::array<std::string_view, 78> kSeamCalls{
    "AccessCheck",
    "BCryptGenRandom",
    "CancelIoEx",
    "CloseHandle",
    "CloseServiceHandle",
    "ConvertSidToStringSidW",
    "CreateAppContainerProfile",
    "CreateDirectoryW",
    "CreateEventW",
    "CreateFileW",
    "CreateJobObjectW",
    "CreateMutexExW",
    "CreateMutexW",
    "CreateProcessW",
    "CreateThread",
    "DeleteAppContainerProfile",
    "DeleteFileW",
    "DeleteProcThreadAttributeList",
    "DeriveAppContainerSidFromAppContainerName",
    "DeriveCapabilitySidsFromName",
    "DuplicateTokenEx",
    "ExitProcess",
    "FlushFileBuffers",
    "GetAppContainerFolderPath",
    "GetCommandLineW",
    "GetDriveTypeW",
    "GetExitCodeProcess",
    "GetFileInformationByHandle",
    "GetFileInformationByHandleEx",
    "GetFinalPathNameByHandleW",
    "GetHandleInformation",
    "GetKernelObjectSecurity",
    "GetNamedPipeServerProcessId",
    "GetOverlappedResultEx",
    "GetProcessId",
    "GetSecurityInfo",
    "GetStdHandle",
    "GetSystemDirectoryW",
    "GetSystemWindowsDirectoryW",
    "GetTickCount64",
    "GetTokenInformation",
    "GetVolumeInformationByHandleW",
    "InitializeProcThreadAttributeList",
    "LockFileEx",
    "MoveFileExW",
    "NtQuerySecurityObject",
    "NtSetSecurityObject",
    "OpenMutexW",
    "OpenProcessToken",
    "OpenSCManagerW",
    "OpenServiceW",
    "QueryDosDeviceW",
    "QueryInformationJobObject",
    "QueryServiceConfigW",
    "QueryServiceObjectSecurity",
    "QueryServiceStatusEx",
    "RaiseFailFastException",
    "ReOpenFile",
    "ReadFile",
    "RegGetValueW",
    "ReleaseMutex",
    "RemoveDirectoryW",
    "ResumeThread",
    "SHGetKnownFolderPath",
    "SetEntriesInAclW",
    "SetHandleInformation",
    "SetInformationJobObject",
    "SetSecurityInfo",
    "SetThreadDescription",
    "Sleep",
    "StartServiceCtrlDispatcherW",
    "TerminateJobObject",
    "TerminateProcess",
    "UnlockFileEx",
    "UpdateProcThreadAttribute",
    "WaitForSingleObject",
    "WaitNamedPipeW",
    "WriteFile",
};

}  // namespace

std::span<const std::string_view> SeamCalls() { return kSeamCalls; }

bool IsSeamCall(std::string_view call) { return std::ranges::binary_search(kSeamCalls, call); }

}  // namespace telvo::platform::sim
