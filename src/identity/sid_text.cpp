#include "identity/sid_text.h"

#include "winformat/text.h"

namespace telvo::identity {

Result<std::string> SidToString(platform::AppContainer& appcontainer, const winformat::Sid& sid) {
    auto text = appcontainer.ConvertSidToStringSidW(sid);
    if (!text) return FailSys("ConvertSidToStringSidW", text.error());
    return winformat::Utf16ToUtf8(*text);
}

}  // namespace telvo::identity
