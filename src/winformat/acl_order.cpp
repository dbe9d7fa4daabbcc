#include "winformat/acl_order.h"

namespace telvo::winformat {

namespace {

bool IsDeny(std::uint8_t type) {
    return type == ace_type::kAccessDenied || type == ace_type::kAccessDeniedObject ||
           type == ace_type::kAccessDeniedCallback || type == ace_type::kAccessDeniedCallbackObject;
}

bool IsAllow(std::uint8_t type) {
    return type == ace_type::kAccessAllowed || type == ace_type::kAccessAllowedObject ||
           type == ace_type::kAccessAllowedCallback || type == ace_type::kAccessAllowedCallbackObject;
}

}  // namespace

bool IsCanonicalDacl(const Acl& dacl) {
    bool seen_inherited = false;
    bool seen_explicit_allow = false;
    for (const Ace& ace : dacl.aces()) {
        if ((ace.flags() & ace_flag::kInherited) != 0) {
            seen_inherited = true;
            continue;
        }
        if (seen_inherited) return false;
        if (IsAllow(ace.type())) seen_explicit_allow = true;
        if (IsDeny(ace.type()) && seen_explicit_allow) return false;
    }
    return true;
}

}  // namespace telvo::winformat
