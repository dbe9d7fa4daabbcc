#include "identity/capability_set.h"

#include <string>

#include "winformat/text.h"

namespace telvo::identity {

Result<CapabilitySet> CapabilitySet::Resolve(platform::AppContainer& appcontainer) {
    CapabilitySet set;
    for (const std::string_view name : kCapabilityNames) {
        const std::string text(name);
        // The group SIDs are dropped with the result: only the capability SIDs go into a token.
        auto derived = Lift("DeriveCapabilitySidsFromName(" + text + ")",
                            appcontainer.DeriveCapabilitySidsFromName(winformat::AsciiToUtf16(name)));
        if (!derived) return std::unexpected(std::move(derived.error()));
        if (derived->capability_sids.empty()) return Fail("capability " + text + " resolved to no SID");
        for (auto& sid : derived->capability_sids) {
            if (!sid) return Fail("capability " + text + " returned a null SID");
            set.Append(std::move(*sid));
        }
    }
    return set;
}

// Appending may move the SIDs, so the entries are rebuilt over all of them.
void CapabilitySet::Append(winformat::Sid sid) {
    sids_.push_back(std::move(sid));
    entries_.clear();
    for (const auto& owned : sids_) entries_.push_back({&owned, platform::group_attribute::kEnabled});
}

}  // namespace telvo::identity
