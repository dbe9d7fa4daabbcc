#include "windows/journal.h"

#include <span>
#include <string>
#include <vector>

#include "common/try.h"
#include "identity/profile.h"
#include "windows/global_locks.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "windows/current_user_sid.h"
#include "winutil/create_directories.h"
#include "winutil/recorded_path.h"

namespace telvo::windows {

namespace {

using namespace platform;

// Whether anything, even a dangling link, has the journal's name.
Result<bool> NameExists(Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto opened = platform.files.CreateFileW(wide, file_access::kReadAttributes,
                                             file_share::kRead | file_share::kWrite | file_share::kDelete,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (opened) {
        UniqueHandle close(platform.kernel, *opened);
        return true;
    }
    if (opened.error() == SysError::Win32(win32_error::kFileNotFound)) return false;
    return FailSys("CreateFileW(" + path + ")", opened.error());
}

constexpr int kReplaceAttempts = 21;
constexpr std::uint32_t kReplaceRetryDelayMs = 10;

Result<void> WriteAll(Platform& platform, Handle file, std::string_view text) {
    std::span<const std::byte> rest = std::as_bytes(std::span(text));
    while (!rest.empty()) {
        TELVO_TRY_ASSIGN(const std::uint32_t written, Lift("WriteFile", platform.kernel.WriteFile(file, rest)));
        if (written == 0 || written > rest.size()) return Fail("WriteFile made no progress");
        rest = rest.subspan(written);
    }
    return {};
}

// Create or truncate, write everything, flush and close.
Result<void> WriteTemporary(Platform& platform, const std::u16string& temporary, std::string_view text) {
    TELVO_TRY_ASSIGN(const Handle created,
                     Lift("CreateFileW", platform.files.CreateFileW(temporary, file_access::kGenericWrite, 0,
                                                                    creation_disposition::kCreateAlways,
                                                                    file_attribute::kNormal)));
    UniqueHandle file(platform.kernel, created);
    TELVO_TRY(WriteAll(platform, file.get(), text));
    return Lift("FlushFileBuffers", platform.files.FlushFileBuffers(file.get()));
}

// Sharing violations and access denials are what a scanner or indexer
// holding either file for a moment causes; they are waited out briefly.
Result<void> Replace(Platform& platform, const std::u16string& temporary, const std::u16string& journal,
                     const std::string& journal_path) {
    for (int attempt = 1;; ++attempt) {
        auto moved = platform.files.MoveFileExW(temporary, journal,
                                                movefile_flag::kReplaceExisting | movefile_flag::kWriteThrough);
        if (moved) return {};
        const bool transient = moved.error() == SysError::Win32(win32_error::kSharingViolation) ||
                               moved.error() == SysError::Win32(win32_error::kAccessDenied);
        if (!transient || attempt == kReplaceAttempts) {
            (void)platform.files.DeleteFileW(temporary);
            return FailSys("MoveFileExW(" + journal_path + ")", moved.error());
        }
        platform.kernel.Sleep(kReplaceRetryDelayMs);
    }
}

// Opens the name itself, so that a link is seen rather than followed, and a
// directory opens to be refused.
Result<UniqueHandle> OpenJournal(Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto opened = platform.files.CreateFileW(wide, file_access::kFileGenericRead, file_share::kRead,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (!opened) return Fail(Error::FromSys("CreateFileW", opened.error()).Context("could not read " + path));
    return UniqueHandle(platform.kernel, *opened);
}

// At most one byte more than a journal may hold.
Result<std::string> ReadBounded(Platform& platform, Handle file, const std::string& path) {
    std::string text(kMaxJournalBytes + 1, '\0');
    std::size_t total = 0;
    while (total < text.size()) {
        auto read = platform.kernel.ReadFile(file, std::as_writable_bytes(std::span(text)).subspan(total));
        if (!read) return Fail(Error::FromSys("ReadFile", read.error()).Context("could not read " + path));
        if (*read == 0) break;
        total += *read;
    }
    if (total > kMaxJournalBytes) return Fail("oversized recovery journal " + path);
    text.resize(total);
    return text;
}

constexpr std::string_view kGlobalNamespace = "Global\\";
Result<winformat::Sid> ProcessUser(Platform& platform) {
    auto user = ReadProcessTokenUser(platform);
    if (user) return std::move(*user);
    const TokenUserFailure& failure = user.error();
    switch (failure.step) {
        case TokenUserFailure::Step::open:
            return FailSys("OpenProcessToken(live marker)", failure.sys);
        case TokenUserFailure::Step::size:
            return Fail("invalid live-marker account SID query (Win32 error " + std::to_string(failure.sys.code) + ")");
        case TokenUserFailure::Step::query:
            return FailSys("GetTokenInformation(live-marker account)", failure.sys);
        case TokenUserFailure::Step::changed:
            return Fail("live-marker account SID changed size repeatedly");
        case TokenUserFailure::Step::sid:
            break;
    }
    return Fail("invalid live-marker account SID");
}

// Owner the user; a DACL that lets the user (and so only the same account)
// open the marker to wait on it, and nothing else.
Result<std::vector<std::uint8_t>> MarkerSecurity(const winformat::Sid& user) {
    auto dacl = winformat::Acl::Fitted(winformat::acl_revision::kRevision, {winformat::Ace::Allowed(file_access::kSynchronize, user)});
    if (!dacl) return FailSys("initialize live-marker security", dacl.error());
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = user;
    descriptor.dacl = winformat::AclSlot(std::move(*dacl));
    return descriptor.ToSelfRelative();
}

// What the probe asks of an object at a marker's name: the run's own marker
// grants both to its user, SYNCHRONIZE through its DACL and READ_CONTROL as
// its owner's implicit right (its DACL has no OWNER RIGHTS entry), and
// neither is a right an integrity label withholds.
constexpr std::uint32_t kMarkerProbeAccess = file_access::kSynchronize | file_access::kReadControl;

// Whether the owner and DACL read from an object are those CreateLiveMarker
// gives, byte for byte once both are in the same form.
bool IsMarkerOf(std::span<const std::uint8_t> found, std::span<const std::uint8_t> made) {
    const auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(found);
    const auto expected = winformat::SecurityDescriptor::ParseSelfRelative(made);
    if (!parsed || !expected || !parsed->owner || parsed->owner != expected->owner) return false;
    const winformat::Acl* dacl = parsed->dacl.acl();
    const winformat::Acl* wanted = expected->dacl.acl();
    return dacl != nullptr && wanted != nullptr && dacl->Serialize() == wanted->Serialize();
}

}  // namespace

std::string JournalPath(std::string_view directory, std::string_view profile_name) {
    std::string path(directory);
    if (!path.ends_with('\\') && !path.ends_with('/')) path += '\\';
    return path + std::string(profile_name) + ".json";
}

Result<JournalRecord> CreateJournal(Platform& platform, std::string_view recovery_directory,
                                    std::string_view profile_name, std::string_view mutex_name,
                                    const std::vector<std::string>& authority_paths) {
    TELVO_TRY(identity::ValidateProfileName(profile_name));
    if (authority_paths.empty()) return Fail("a recovery journal requires at least one authority");

    JournalRecord record;
    record.data.journal_version = kJournalVersion;
    record.data.profile_name = profile_name;
    record.data.mutex_name = mutex_name;
    for (const std::string& path : authority_paths) {
        TELVO_TRY_ASSIGN(auto recorded, winutil::CaptureRecordedPath(platform, path));
        record.data.authorities.push_back(std::move(recorded));
    }

    if (auto created = winutil::CreateDirectories(platform, recovery_directory); !created) {
        return Fail(std::move(created.error()).Context("could not create recovery directory " +
                                                       std::string(recovery_directory)));
    }
    record.path = JournalPath(recovery_directory, profile_name);
    TELVO_TRY_ASSIGN(bool exists, NameExists(platform, record.path));
    if (exists) return Fail("recovery journal identity collision");

    TELVO_TRY(ValidateJournal(platform.system, record.data));
    TELVO_TRY(WriteJournal(platform, record));
    return record;
}

Result<void> WriteJournal(Platform& platform, const JournalRecord& record) {
    auto text = EncodeJournal(record.data);
    if (!text) return Fail(std::move(text.error()).Context("could not serialize recovery journal " + record.path));
    if (text->size() > kMaxJournalBytes) return Fail("Windows sandbox recovery journal exceeded 4 MiB");

    const std::string temporary_path = record.path + ".new";
    TELVO_TRY_ASSIGN(std::u16string journal, winformat::Utf8ToUtf16(record.path));
    TELVO_TRY_ASSIGN(std::u16string temporary, winformat::Utf8ToUtf16(temporary_path));

    TELVO_TRY_ASSIGN(MutexLockGuard lock, AcquireMetadataLock(platform));
    if (auto written = WriteTemporary(platform, temporary, *text); !written) {
        // Whatever part of the file was made goes; the journal is untouched.
        (void)platform.files.DeleteFileW(temporary);
        return Fail(std::move(written.error()).Context("could not write journal " + temporary_path));
    }
    return Replace(platform, temporary, journal, record.path);
}

Result<JournalData> ReadJournalFile(Platform& platform, std::string_view path_text) {
    const std::string path(path_text);
    TELVO_TRY_ASSIGN(UniqueHandle file, OpenJournal(platform, path));
    auto info = platform.files.GetFileInformationByHandle(file.get());
    if (!info) return Fail(Error::FromSys("GetFileInformationByHandle", info.error()).Context("could not read " + path));
    const std::uint64_t size = (std::uint64_t{info->file_size_high} << 32) | info->file_size_low;
    // Any reparse point is refused: the tag, which tells links from other
    // kinds, is not needed to know that a journal is never one.
    if ((info->file_attributes & (file_attribute::kReparsePoint | file_attribute::kDirectory)) ||
        size > kMaxJournalBytes) {
        return Fail("invalid recovery journal " + path);
    }
    TELVO_TRY_ASSIGN(std::string text, ReadBounded(platform, file.get(), path));
    auto data = DecodeJournal(text);
    if (!data) return Fail(std::move(data.error()).Context("invalid recovery journal " + path));
    TELVO_TRY(ValidateJournal(platform.system, *data));
    return std::move(*data);
}

Result<void> FinishJournal(platform::Platform& platform, const JournalRecord& record,
                           const JournalCleanup& exact_cleanup) {
    TELVO_TRY(exact_cleanup(record.data));
    return RemoveJournalFile(platform, record.path, "could not remove completed journal " + record.path);
}

Result<void> RemoveJournalFile(platform::Platform& platform, std::string_view path, std::string failure_message) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    TELVO_TRY_ASSIGN(MutexLockGuard lock, AcquireMetadataLock(platform));
    auto removed = platform.files.DeleteFileW(wide);
    if (!removed) return Fail(Error::FromSys("DeleteFileW", removed.error()).Context(std::move(failure_message)));
    return {};
}

Result<UniqueHandle> CreateLiveMarker(Platform& platform, std::string_view mutex_name) {
    if (!mutex_name.starts_with(kGlobalNamespace)) return Fail("live marker must use the global namespace");
    TELVO_TRY(identity::ValidateProfileName(mutex_name.substr(kGlobalNamespace.size())));
    TELVO_TRY_ASSIGN(std::u16string name, winformat::Utf8ToUtf16(mutex_name));
    TELVO_TRY_ASSIGN(winformat::Sid user, ProcessUser(platform));
    TELVO_TRY_ASSIGN(auto descriptor, MarkerSecurity(user));

    auto created = platform.sync.CreateMutexW(descriptor, false, false, name);
    if (!created) return FailSys("CreateMutexW(live marker)", created.error());
    UniqueHandle marker(platform.kernel, created->handle);
    if (created->already_existed) return Fail("live-marker identity collision; refusing an existing mutex");
    return marker;
}

Result<Liveness> ProbeLiveMarker(Platform& platform, std::string_view mutex_name) {
    TELVO_TRY_ASSIGN(std::u16string name, winformat::Utf8ToUtf16(mutex_name));
    auto opened = platform.sync.OpenMutexW(kMarkerProbeAccess, false, name);
    if (!opened) {
        // Nothing at the name; something the user may not wait on or read,
        // which the run's own marker never is; an object of another type.
        // None of these is the run's marker, and names are unique.
        const SysError& error = opened.error();
        if (error == SysError::Win32(win32_error::kFileNotFound) ||
            error == SysError::Win32(win32_error::kAccessDenied) ||
            error == SysError::Win32(win32_error::kInvalidHandle)) {
            return Liveness::dead;
        }
        return Fail("could not establish sandbox liveness (Win32 error " + std::to_string(error.code) +
                    "); recovery journal retained");
    }
    UniqueHandle marker(platform.kernel, *opened);
    if (!marker) return Fail(Error::Win32("OpenMutexW(live marker)", win32_error::kInvalidHandle));
    TELVO_TRY_ASSIGN(const winformat::Sid user, ProcessUser(platform));
    TELVO_TRY_ASSIGN(const auto found, ReadMutexOwnerAndDacl(platform, marker.get(), "GetKernelObjectSecurity(live marker)",
                                                             "invalid live-marker descriptor size"));
    TELVO_TRY_ASSIGN(const auto made, MarkerSecurity(user));
    return IsMarkerOf(found, made) ? Liveness::alive : Liveness::dead;
}

}  // namespace telvo::windows
