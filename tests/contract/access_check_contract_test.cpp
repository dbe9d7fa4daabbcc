// AccessCheck through the seam against the simulated host's model of it,
// over generated descriptors, with this process's own token. Under Wine the
// seam is the real AccessCheck, so this holds the model to an independent
// implementation; natively it holds the simulated seam to its model.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "contract/contract_host.h"
#include "platform/security.h"
#include "platform/sim/sim_access_check.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {
namespace {

using winformat::Ace;
using winformat::Sid;
namespace wk = winformat::well_known;
namespace flag = winformat::ace_flag;

constexpr std::uint32_t kMaximumAllowed = 0x02000000;
constexpr int kDescriptors = 3000;

// Rights an entry may carry, generic ones included.
constexpr std::uint32_t kEntryMasks[] = {0x1,        0x2,        0x20,       0x10000,    0x20000,   0x40000,
                                         0x001200A9, 0x001301BF, 0x001F01FF, 0x80000000, 0x40000000, 0x10000000};
// What the checks ask for (no generic bits, which the caller must map).
constexpr std::uint32_t kDesired[] = {kMaximumAllowed, 0x1, 0x2, 0x20000, 0x60000, 0x001200A9, 0x10000, 0x001301BF};

// Two shapes are compared on the simulated host alone, where Wine is known
// to differ from Windows:
// - Wine's AccessCheck fails an object entry with ERROR_NOACCESS (998).
// - Wine hands the owner of a descriptor every standard right (0x1F0000),
//   also past an OWNER RIGHTS entry; Windows gives the owner READ_CONTROL and
//   WRITE_DAC only, and none when the DACL names OWNER RIGHTS (the access
//   check algorithm of MS-DTYP 2.5.3.2; Windows Security Internals, ch. 7).
//   Under Wine the caller therefore never owns a generated descriptor.
// - For MAXIMUM_ALLOWED, Wine applies a deny entry wherever it stands;
//   Windows denies only the rights that no earlier entry granted (MS-DTYP
//   2.5.3.2). Both agree on a DACL in canonical order, denies first, which is
//   what Windows' own editors write: under Wine the DACLs are generated so.
bool SimulatedOnly(ContractHost& host) { return std::string(host.name()) == "simulated"; }

struct Generated {
    winformat::SecurityDescriptor descriptor;
    std::string text;  // for a disagreement's report
};

std::string Hex(std::uint32_t value) {
    std::ostringstream out;
    out << std::hex << "0x" << value;
    return out.str();
}

Generated Generate(std::mt19937& random, const std::vector<Sid>& pool, const Sid& caller, const Sid& unrelated,
                   bool full) {
    auto pick = [&](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    Generated generated;
    const Sid owner = full && pick(2) == 0 ? caller : unrelated;
    generated.descriptor.owner = owner;
    generated.descriptor.group = owner;
    generated.text = " owner " + owner.ToString() + ";";
    if (pick(25) == 0) {
        generated.descriptor.dacl = winformat::AclSlot::Null();
        generated.text += " null DACL";
        return generated;
    }
    std::vector<Ace> aces;
    const std::size_t count = pick(6);
    for (std::size_t i = 0; i < count; ++i) {
        const Sid& sid = pool[pick(pool.size())];
        const std::uint32_t mask = kEntryMasks[pick(std::size(kEntryMasks))];
        const std::uint8_t flags = pick(5) == 0 ? flag::kInheritOnly | flag::kObjectInherit : 0;
        const std::size_t kind = pick(full ? 10 : 8);
        if (kind < 5) {
            aces.push_back(Ace::Allowed(mask, sid, flags));
            generated.text += " A(" + Hex(mask) + "," + sid.ToString() + "," + Hex(flags) + ")";
        } else if (kind < 8) {
            aces.push_back(Ace::Denied(mask, sid, flags));
            generated.text += " D(" + Hex(mask) + "," + sid.ToString() + "," + Hex(flags) + ")";
        } else {
            // An allowed-object entry with an object type: it counts only for
            // checks that name object types, which these do not.
            winformat::ObjectAceBody body{mask, winformat::GuidBytes{1, 2, 3}, std::nullopt, sid, {}};
            aces.push_back(Ace::Make(winformat::ace_type::kAccessAllowedObject, flags, body).value());
            generated.text += " OA(" + Hex(mask) + "," + sid.ToString() + ")";
        }
    }
    if (!full) {
        std::stable_partition(aces.begin(), aces.end(),
                              [](const Ace& ace) { return ace.type() == winformat::ace_type::kAccessDenied; });
    }
    generated.descriptor.dacl = winformat::AclSlot(winformat::Acl::Fitted(4, std::move(aces)).value());
    return generated;
}

TEST(AccessCheckContract, AgreesWithTheModelOnGeneratedDescriptors) {
    auto host = MakeContractHost();
    auto& security = host->platform().security;
    const platform::sim::TokenIdentity identity = host->ProcessIdentity();

    auto primary = security.OpenProcessToken(platform::kCurrentProcess, platform::token_access::kQuery | platform::token_access::kDuplicate);
    ASSERT_TRUE(primary);
    platform::UniqueHandle primary_token(host->platform().kernel, *primary);
    auto duplicated = security.DuplicateTokenEx(primary_token.get(), platform::token_access::kQuery,
                                                platform::impersonation_level::kIdentification,
                                                platform::token_type::kImpersonation);
    ASSERT_TRUE(duplicated);
    platform::UniqueHandle token(host->platform().kernel, *duplicated);

    const Sid unrelated = Sid::Make(5, {21, 9, 9, 9, 4242});
    std::vector<Sid> pool{identity.user, wk::World(), wk::AuthenticatedUsers(), wk::Users(), wk::OwnerRights(),
                          wk::Administrators(), unrelated};
    for (const auto& group : identity.groups) {
        if ((group.attributes & platform::group_attribute::kUseForDenyOnly) != 0) pool.push_back(group.sid);
    }

    std::mt19937 random(20261208);
    int checks = 0;
    int disagreements = 0;
    std::string first;
    for (int i = 0; i < kDescriptors; ++i) {
        const Generated generated = Generate(random, pool, identity.user, unrelated, SimulatedOnly(*host));
        const auto bytes = generated.descriptor.ToSelfRelative();
        for (const std::uint32_t desired : kDesired) {
            std::uint32_t needed = 0;
            auto real = security.AccessCheck(bytes, token.get(), desired, platform::kFileGenericMapping,
                                             platform::kPrivilegeSetMinimumSize, needed);
            ASSERT_TRUE(real) << "AccessCheck failed with " << real.error().code << " on" << generated.text;
            auto model = platform::sim::EvaluateAccess(generated.descriptor, identity, desired,
                                                       platform::kFileGenericMapping);
            ASSERT_TRUE(model);
            ++checks;
            if (real->access_status != model->granted || real->granted_access != model->granted_access) {
                if (++disagreements <= 12) {
                    first += "\n  ";
                    first += "desired " + Hex(desired) + " on" + generated.text + ": real " +
                            (real->access_status ? "granted " : "refused ") + Hex(real->granted_access) +
                            ", model " + (model->granted ? "granted " : "refused ") + Hex(model->granted_access);
                }
            }
        }
    }
    std::printf("[ access checks compared on %s: %d, disagreements: %d ]\n", host->name(), checks, disagreements);
    EXPECT_EQ(disagreements, 0) << "first: " << first;
}

}  // namespace
}  // namespace telvo::contract
