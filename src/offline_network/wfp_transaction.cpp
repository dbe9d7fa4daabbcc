#include "offline_network/wfp_transaction.h"

#include <utility>

#include "common/try.h"

namespace telvo::offline_network {

Error WfpError(std::string_view call, SysError status) {
    return Error(std::string(call) + " failed with Windows/WFP error " + Hex32(status.code));
}

Result<WfpTransaction> WfpTransaction::Begin(platform::Wfp& wfp) {
    platform::WfpSession session;
    session.txn_wait_timeout_ms = kTxnWaitTimeoutMs;
    TELVO_TRY_ASSIGN(const platform::WfpEngine engine,
                     LiftWfp("FwpmEngineOpen0", wfp.FwpmEngineOpen0(platform::rpc_authn::kWinNt, session)));
    if (engine == platform::kNullWfpEngine) return Fail("BFE returned a null session");
    platform::UniqueWfpEngine owned(wfp, engine);
    TELVO_TRY(LiftWfp("FwpmTransactionBegin0", wfp.FwpmTransactionBegin0(engine, 0)));
    return WfpTransaction(wfp, std::move(owned));
}

WfpTransaction::WfpTransaction(WfpTransaction&& other) noexcept
    : wfp_(other.wfp_), engine_(std::move(other.engine_)), open_(std::exchange(other.open_, false)) {}

WfpTransaction::~WfpTransaction() {
    // Closing the session would abort it too; the explicit abort comes first
    // so that nothing of a failed operation waits for the close.
    if (open_) (void)wfp_.FwpmTransactionAbort0(engine_.get());
}

Result<void> WfpTransaction::Commit() {
    open_ = false;
    return LiftWfp("FwpmTransactionCommit0", wfp_.FwpmTransactionCommit0(engine_.get()));
}

}  // namespace telvo::offline_network
