#pragma once

#include <optional>
#include <string_view>

#include "common/error.h"
#include "platform/wfp.h"

namespace telvo::offline_network {

// The failure of a WFP call: "<call> failed with Windows/WFP error 0x<status>".
Error WfpError(std::string_view call, SysError status);

template <class T>
Result<T> LiftWfp(std::string_view call, SysResult<T> result) {
    if (!result) return std::unexpected(WfpError(call, result.error()));
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*result);
    }
}

// One engine session with one write transaction, as every operation on the
// offline layout uses it: opened with RPC_C_AUTHN_WINNT and a transaction
// wait of 30000 ms; aborted when it ends without Commit, and the session
// closed on every path.
class WfpTransaction {
public:
    static constexpr std::uint32_t kTxnWaitTimeoutMs = 30000;

    static Result<WfpTransaction> Begin(platform::Wfp& wfp);
    WfpTransaction(WfpTransaction&& other) noexcept;
    WfpTransaction& operator=(WfpTransaction&&) = delete;
    ~WfpTransaction();

    platform::WfpEngine engine() const { return engine_.get(); }
    Result<void> Commit();

private:
    WfpTransaction(platform::Wfp& wfp, platform::UniqueWfpEngine engine)
        : wfp_(wfp), engine_(std::move(engine)) {}

    platform::Wfp& wfp_;
    platform::UniqueWfpEngine engine_;
    bool open_ = true;
};

}  // namespace telvo::offline_network
