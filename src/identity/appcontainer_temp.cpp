#include "identity/appcontainer_temp.h"

#include "common/try.h"
#include "identity/sid_text.h"
#include "winutil/create_directories.h"
#include "winformat/text.h"

namespace telvo::identity {

Result<std::string> EnsureAppContainerTemp(platform::Platform& platform, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(const std::string sid_text, SidToString(platform.appcontainer, sid));
    auto folder = platform.appcontainer.GetAppContainerFolderPath(winformat::AsciiToUtf16(sid_text));
    if (!folder) return FailSys("GetAppContainerFolderPath", folder.error());
    if (!*folder) return Fail("GetAppContainerFolderPath returned no path");
    TELVO_TRY_ASSIGN(std::string folder_text, winformat::Utf16ToUtf8(**folder));
    if (auto created = winutil::CreateDirectories(platform, folder_text + "\\Temp"); !created) {
        return Fail(std::move(created.error()).Context("could not create AppContainer temp under " + folder_text));
    }
    return folder_text;
}

}  // namespace telvo::identity
