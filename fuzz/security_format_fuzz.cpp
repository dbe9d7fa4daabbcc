// The SID, ACE, ACL and self-relative security-descriptor parsers on any bytes:
// each gives a value or an error; a value serialises to bytes that parse back
// to the same value and serialise to the same bytes again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"
#include "windows/object_dacl.h"

namespace {

using namespace telvo::winformat;

template <class Parsed>
void RequireMessage(const Parsed& parsed) {
    if (!parsed && parsed.error().Display().empty()) __builtin_trap();
}

void CheckSid(std::span<const std::uint8_t> bytes) {
    const auto length = ValidSidLength(bytes);
    auto sid = Sid::FromBytes(bytes);
    RequireMessage(sid);
    if (sid.has_value() != (length && *length == bytes.size())) __builtin_trap();
    if (!sid) return;
    if (!std::ranges::equal(sid->bytes(), bytes)) __builtin_trap();
    auto again = Sid::Parse(sid->ToString());
    if (!again || *again != *sid) __builtin_trap();
}

void CheckAce(std::span<const std::uint8_t> bytes) {
    auto ace = Ace::Parse(bytes);
    RequireMessage(ace);
    if (!ace) return;
    // An ACE keeps every byte.
    const auto out = ace->Serialize();
    if (out.size() != ace->size() || !std::ranges::equal(out, bytes)) __builtin_trap();
    if (ace->sid() != nullptr) {
        // An ACE that carries a SID names it, or is refused with a message.
        auto named = telvo::windows::FindSidInAce(*ace, *ace->sid());
        RequireMessage(named);
        if (named && !*named) __builtin_trap();
    }
}

void CheckAcl(std::span<const std::uint8_t> bytes) {
    auto acl = Acl::Parse(bytes);
    RequireMessage(acl);
    if (!acl) return;
    const auto out = acl->Serialize();
    if (out.size() != acl->size() || acl->bytes_in_use() > acl->size()) __builtin_trap();
    auto again = Acl::Parse(out);
    if (!again || *again != *acl || again->Serialize() != out) __builtin_trap();
    // The same ACEs built into a fitted ACL give the same bytes but for AclSize and the free space.
    auto fitted = Acl::Fitted(acl->revision(), acl->aces());
    if (!fitted || fitted->size() != acl->bytes_in_use() || fitted->revision() != acl->revision()) __builtin_trap();
    const auto fitted_bytes = fitted->Serialize();
    if (!std::equal(fitted_bytes.begin() + 4, fitted_bytes.end(), out.begin() + 4)) __builtin_trap();
}

void CheckDescriptor(std::span<const std::uint8_t> bytes) {
    auto sd = SecurityDescriptor::ParseSelfRelative(bytes);
    RequireMessage(sd);
    if (!sd) return;
    const auto out = sd->ToSelfRelative();
    auto again = SecurityDescriptor::ParseSelfRelative(out);
    if (!again || *again != *sd || again->ToSelfRelative() != out) __builtin_trap();
    if (again->dacl.present() != sd->dacl.present() || again->dacl.is_null() != sd->dacl.is_null()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    CheckSid(bytes);
    CheckAce(bytes);
    CheckAcl(bytes);
    CheckDescriptor(bytes);
    return 0;
}
