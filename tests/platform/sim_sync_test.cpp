#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {
namespace {

using winformat::Ace;
using winformat::Sid;
namespace wk = winformat::well_known;

const Sid kAdminUser = Sid::Make(5, {21, 4, 4, 4, 500});

std::vector<std::uint8_t> Descriptor(std::optional<Sid> owner, std::vector<Ace> aces) {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = std::move(owner);
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(2, std::move(aces)));
    return descriptor.ToSelfRelative();
}

winformat::SecurityDescriptor Stored(SimHost& host, const std::u16string& name) {
    return winformat::SecurityDescriptor::ParseSelfRelative(host.sync().FindMutex(name)->security_descriptor).value();
}

// Named mutexes are opened with the caller's token against the existing
// descriptor, and created with the token's owner and defaults.
TEST(SimSyncTest, AnExistingMutexOpensOnlyForWhatItsDaclGrants) {
    SimHost host;
    const Sid& user = host.security().TokenUser();
    // Only SYNCHRONIZE for the user, as a run's live marker is made.
    auto first = host.platform().sync.CreateMutexW(Descriptor(user, {Ace::Allowed(file_access::kSynchronize, user)}),
                                                   false, false, u"Global\\m");
    ASSERT_TRUE(first);
    UniqueHandle first_guard(host.platform().kernel, first->handle);
    EXPECT_FALSE(first->already_existed);
    const std::size_t handles = host.handles().OpenCount();

    // CreateMutexW asks for MUTEX_ALL_ACCESS: refused, no handle, no 183.
    EXPECT_EQ(host.platform().sync.CreateMutexW({}, false, false, u"Global\\M").error(),
              SysError::Win32(win32_error::kAccessDenied));
    EXPECT_EQ(host.platform().sync.OpenMutexW(kMutexAllAccess, false, u"Global\\m").error(),
              SysError::Win32(win32_error::kAccessDenied));
    // The owner's implicit READ_CONTROL is there; MUTANT_QUERY_STATE is not.
    EXPECT_EQ(host.platform().sync.OpenMutexW(0x00000001, false, u"Global\\m").error(),
              SysError::Win32(win32_error::kAccessDenied));
    EXPECT_EQ(host.handles().OpenCount(), handles);

    auto reopened = host.platform().sync.CreateMutexExW({}, false, u"Global\\m", mutex_flag::kInitialOwner,
                                                        file_access::kSynchronize | file_access::kReadControl);
    ASSERT_TRUE(reopened);
    UniqueHandle reopened_guard(host.platform().kernel, reopened->handle);
    EXPECT_TRUE(reopened->already_existed);
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\m")->IsOwned());  // only the creator takes initial ownership
    auto opened = host.platform().sync.OpenMutexW(file_access::kSynchronize, false, u"Global\\m");
    ASSERT_TRUE(opened);
    UniqueHandle opened_guard(host.platform().kernel, *opened);

    // Another user is not in the DACL at all.
    host.security().SetTokenUser(Sid::Make(5, {21, 4, 4, 4, 1010}));
    EXPECT_EQ(host.platform().sync.OpenMutexW(file_access::kSynchronize, false, u"Global\\m").error(),
              SysError::Win32(win32_error::kAccessDenied));
    EXPECT_EQ(host.platform().sync.OpenMutexW(file_access::kSynchronize, false, u"Global\\absent").error(),
              SysError::Win32(win32_error::kFileNotFound));
}

TEST(SimSyncTest, ANewMutexTakesTheTokensOwnerGroupAndDefaultDacl) {
    SimHost host;
    host.security().SetProcessToken(SimToken::InteractiveUser(kAdminUser, true, true));
    auto made = host.platform().sync.CreateMutexW({}, false, false, u"Global\\plain");
    ASSERT_TRUE(made);
    UniqueHandle guard(host.platform().kernel, made->handle);
    const auto stored = Stored(host, u"Global\\plain");
    // An elevated administrator's objects belong to Administrators; its
    // primary group stays the user.
    EXPECT_EQ(stored.owner, wk::Administrators());
    EXPECT_EQ(stored.group, kAdminUser);
    ASSERT_NE(stored.dacl.acl(), nullptr);
    EXPECT_EQ(stored.dacl.acl()->aces(), (std::vector<Ace>{Ace::Allowed(file_access::kGenericAll, wk::Administrators()),
                                                           Ace::Allowed(file_access::kGenericAll, wk::LocalSystem())}));

    // Its unelevated twin holds Administrators deny-only: it may neither
    // name the group as owner nor open the elevated one's mutex for more than
    // the default DACL grants it (nothing).
    host.security().SetProcessToken(SimToken::InteractiveUser(kAdminUser, true, false));
    EXPECT_EQ(host.platform()
                  .sync.CreateMutexExW(Descriptor(wk::Administrators(), {}), false, u"Global\\owned", 0,
                                       file_access::kSynchronize)
                  .error(),
              SysError::Win32(win32_error::kInvalidOwner));
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\owned"));
    EXPECT_EQ(host.platform().sync.OpenMutexW(file_access::kSynchronize, false, u"Global\\plain").error(),
              SysError::Win32(win32_error::kAccessDenied));
    // The user itself is always an owner it may name.
    auto own = host.platform().sync.CreateMutexExW(Descriptor(kAdminUser, {}), false, u"Global\\own", 0,
                                                   file_access::kSynchronize);
    ASSERT_TRUE(own);
    UniqueHandle own_guard(host.platform().kernel, own->handle);
}

// Reading a mutex's owner or DACL takes READ_CONTROL on the handle, as
// Windows checks it: a handle opened for SYNCHRONIZE alone reads nothing.
TEST(SimSyncTest, ReadingAMutexsSecurityTakesReadControlOnTheHandle) {
    SimHost host;
    const Sid& user = host.security().TokenUser();
    auto made = host.platform().sync.CreateMutexW(Descriptor(user, {Ace::Allowed(file_access::kSynchronize, user)}),
                                                  false, false, u"Global\\m");
    ASSERT_TRUE(made);
    UniqueHandle guard(host.platform().kernel, made->handle);
    const auto read = [&](std::uint32_t access) {
        UniqueHandle handle(host.platform().kernel, host.platform().sync.OpenMutexW(access, false, u"Global\\m").value());
        std::vector<std::uint8_t> buffer(256);
        std::uint32_t needed = 0;
        return host.platform().security.GetKernelObjectSecurity(handle.get(), security_information::kOwner, buffer,
                                                                 needed);
    };
    EXPECT_EQ(read(file_access::kSynchronize).error(), SysError::Win32(win32_error::kAccessDenied));
    EXPECT_TRUE(read(file_access::kSynchronize | file_access::kReadControl));
}

}  // namespace
}  // namespace telvo::platform::sim
