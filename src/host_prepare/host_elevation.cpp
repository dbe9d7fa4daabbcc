#include "host_prepare/host_elevation.h"

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

// TOKEN_ELEVATION: one DWORD.
constexpr std::uint32_t kTokenElevationSize = 4;

Result<bool> ProcessIsElevated(Platform& platform) {
    TELVO_TRY_ASSIGN(const Handle raw, Lift("OpenProcessToken(host preparation)",
                                            platform.security.OpenProcessToken(kCurrentProcess, token_access::kQuery)));
    const UniqueHandle token(platform.kernel, raw);
    std::uint32_t returned = 0;
    TELVO_TRY_ASSIGN(const TokenInformation info,
                     Lift("GetTokenInformation(TokenElevation)",
                          platform.security.GetTokenInformation(token.get(), token_information::kElevation,
                                                                kTokenElevationSize, returned)));
    if (info.bytes.size() != kTokenElevationSize) {
        return Fail(Error::Win32("GetTokenInformation(TokenElevation)", win32_error::kInvalidParameter));
    }
    return winformat::le::Read32(info.bytes, 0) != 0;
}

}  // namespace

Result<void> RequireElevatedAdministrator(Platform& platform) {
    TELVO_TRY_ASSIGN(const bool elevated, ProcessIsElevated(platform));
    if (!elevated) return Fail(kElevationRefusal);
    TELVO_TRY_ASSIGN(const winformat::Sid administrators,
                     Lift("CreateWellKnownSid(host preparation)",
                          platform.security.CreateWellKnownSid(well_known_sid::kBuiltinAdministrators)));
    TELVO_TRY_ASSIGN(const bool member, Lift("CheckTokenMembership(host preparation)",
                                             platform.security.CheckTokenMembership(kNullHandle, administrators)));
    if (!member) return Fail(kElevationRefusal);
    return {};
}

}  // namespace telvo::host_prepare
