#include "winformat/mandatory_label.h"

#include "winformat/acl.h"

namespace telvo::winformat {

Sid IntegrityLevelSid(std::uint32_t rid) { return Sid::Make(sid_authority::kMandatoryLabel, {rid}); }

Ace MandatoryLabelAce(std::uint32_t rid, std::uint32_t policy, std::uint8_t flags) {
    return Ace::Basic(ace_type::kSystemMandatoryLabel, flags, policy, IntegrityLevelSid(rid));
}

Result<std::optional<MandatoryLabel>> FindMandatoryLabel(const SecurityDescriptor& sd) {
    const Acl* sacl = sd.sacl.acl();
    if (sacl == nullptr) return std::nullopt;
    for (const Ace& ace : sacl->aces()) {
        if (ace.type() != ace_type::kSystemMandatoryLabel || (ace.flags() & ace_flag::kInheritOnly) != 0) continue;
        const Sid& label = *ace.sid();
        if (label.authority() != sid_authority::kMandatoryLabel || label.sub_authority_count() != 1) {
            return Fail("mandatory label ACE does not name an integrity level");
        }
        return MandatoryLabel{label.sub_authority(0), *ace.mask()};
    }
    return std::nullopt;
}

}  // namespace telvo::winformat
