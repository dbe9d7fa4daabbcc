#include "host_prepare/capability_sid.h"

#include <string>

#include "common/try.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

Result<winformat::Sid> DeriveSingleCapabilitySid(platform::AppContainer& appcontainer, std::string_view name,
                                                 std::string_view refusal) {
    TELVO_TRY_ASSIGN(auto derived,
                     Lift("DeriveCapabilitySidsFromName(" + std::string(name) + ")",
                          appcontainer.DeriveCapabilitySidsFromName(winformat::AsciiToUtf16(name))));
    if (derived.capability_sids.size() != 1 || !derived.capability_sids[0]) return Fail(std::string(refusal));
    return std::move(*derived.capability_sids[0]);
}

}  // namespace telvo::host_prepare
