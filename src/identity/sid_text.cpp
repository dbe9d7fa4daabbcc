#include "identity/sid_text.h"

#include "winutil/text.h"

namespace telvo::identity {

Result<std::string> SidToString(platform::AppContainer& appcontainer, const winutil::Sid& sid) {
    auto text = appcontainer.ConvertSidToStringSidW(sid);
    if (!text) return FailSys("ConvertSidToStringSidW", text.error());
    return winutil::Utf16ToUtf8(*text);
}

}  // namespace telvo::identity
