#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/sim/sim_access_check.h"
#include "platform/sim/sim_object.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

// A simulated access token: what access checks read of it (its identity),
// and what it gives the objects its holder creates (owner, primary group,
// default DACL).
struct SimToken {
    TokenIdentity identity;
    winformat::Sid owner = identity.user;
    winformat::Sid primary_group = identity.user;
    std::vector<std::uint8_t> default_dacl;  // ACL bytes; empty: none
    // Privileges the token holds disabled (the enabled ones are in the
    // identity): nothing they would grant is granted until enabled.
    std::set<std::string> disabled_privileges;
    std::uint32_t type = token_type::kPrimary;
    std::uint32_t impersonation_level = impersonation_level::kAnonymous;
    bool elevated = false;

    // Whether the holder may name `owner` as the owner of an object it
    // creates: its user, a group it holds with SE_GROUP_OWNER, or anyone
    // while SeRestorePrivilege is enabled.
    bool MayAssignOwner(const winformat::Sid& owner) const;

    // An interactive user. A standard user runs at medium integrity; an
    // administrator has a split token: unelevated, Administrators is a
    // deny-only group; elevated, it is enabled, owns what the token creates
    // and the token runs at high integrity.
    static SimToken InteractiveUser(const winformat::Sid& user, bool administrator, bool elevated);
    // LocalSystem's token (windows-notes 11.3, the LocalSystem account page
    // it cites): SYSTEM, Administrators as an owner group, system integrity,
    // and the account's privileges, enabled or not as listed there.
    static SimToken LocalSystem();
    // The token CreateProcessW gives a process started with security
    // capabilities: the creator's, at low integrity, with the package and
    // its capabilities and no privileges; less-privileged when it opted out
    // of ALL APPLICATION PACKAGES. It owns what it creates by its user
    // (windows-notes 10.4 item 9), and its default DACL carries the package
    // (TokenAssumptions::appcontainer_default_dacl_adds).
    static SimToken AppContainerFrom(const SimToken& creator, const winformat::Sid& package,
                                     std::vector<TokenGroup> capabilities, bool less_privileged);
};

// Where the sources on token queries are unsure, the simulated host takes
// one side, kept here.
struct TokenAssumptions {
    // TokenIsLessPrivilegedAppContainer is declared in the headers; whether
    // every build answers it is unconfirmed. When false the class fails with
    // ERROR_INVALID_PARAMETER, and callers must fall back.
    bool less_privileged_class_answered = true;
    // What an AppContainer token's default DACL holds besides its creator's
    // entries: the sources say it carries package-SID entries (windows-notes
    // 1.5, "a lowbox token's defaults"), not which. Assumed: the package
    // with GENERIC_ALL, after the creator's entries.
    std::uint32_t appcontainer_default_dacl_adds = 0x10000000;  // GENERIC_ALL for the package
};
TokenAssumptions& CurrentTokenAssumptions();

// A token as a handle refers to it; the access the handle was opened with
// is kept by the handle table, as for every other object.
class SimTokenHandle final : public SimObject {
public:
    explicit SimTokenHandle(std::shared_ptr<const SimToken> token) : token_(std::move(token)) {}
    const SimToken& token() const { return *token_; }
    std::shared_ptr<const SimToken> shared() const { return token_; }

private:
    std::shared_ptr<const SimToken> token_;
};

// GetTokenInformation of one class, as values: the size Windows asks for in
// `return_length`, ERROR_INSUFFICIENT_BUFFER when `buffer_length` is below it,
// ERROR_INVALID_PARAMETER for a class the simulated host does not answer.
SysResult<TokenInformation> QueryTokenInformation(const SimToken& token, std::uint32_t information_class,
                                                  std::uint32_t buffer_length, std::uint32_t& return_length);

}  // namespace telvo::platform::sim
