#include "winutil/final_path.h"

#include <vector>

#include "common/try.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::winutil {

namespace {
constexpr int kSizedCalls = 3;
// Windows paths end at 32767 UTF-16 units; a larger answer is not a path.
constexpr std::uint32_t kMaxPathUnits = 32768;
}  // namespace

Result<std::string> ReadFinalPath(platform::Files& files, platform::Handle handle) {
    auto probe = files.GetFinalPathNameByHandleW(handle, {}, platform::final_path_flag::kNameNormalized);
    if (!probe) return FailSys("GetFinalPathNameByHandleW(size)", probe.error());
    std::uint32_t needed = *probe;
    for (int call = 0; call < kSizedCalls; ++call) {
        if (needed > kMaxPathUnits) {
            return Fail("GetFinalPathNameByHandleW returned invalid size " + std::to_string(needed));
        }
        std::vector<char16_t> buffer(std::size_t{needed} + 1, u'\0');
        auto length = files.GetFinalPathNameByHandleW(handle, buffer, platform::final_path_flag::kNameNormalized);
        if (!length) return FailSys("GetFinalPathNameByHandleW", length.error());
        if (*length < buffer.size()) {
            auto text = winformat::Utf16ToUtf8(std::u16string_view(buffer.data(), *length));
            if (!text) return Fail(std::move(text.error()).Context("final path is not valid text"));
            return std::move(*text);
        }
        needed = *length;  // the path grew between the calls
    }
    return Fail("final path changed size repeatedly");
}

Result<void> VerifyFinalPath(platform::Files& files, platform::Handle handle, std::string_view expected) {
    TELVO_TRY_ASSIGN(std::string final_path, ReadFinalPath(files, handle));
    if (!PathsEqual(final_path, expected)) {
        return Fail("path identity changed while establishing the sandbox: expected " + std::string(expected) +
                    ", opened " + final_path);
    }
    return {};
}

}  // namespace telvo::winutil
