#include "platform/sim/sim_wfp.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"
#include "common/try.h"
#include "platform/service.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"

namespace telvo::platform::sim {

namespace {

constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kReadControl = 0x00020000;
constexpr std::uint32_t kDefaultTxnWaitMs = 15000;
constexpr std::uint32_t kStatusInvalidInfoClass = 0xC0000003;
constexpr std::uint32_t kStatusInfoLengthMismatch = 0xC0000004;
constexpr std::uint32_t kInvalidParameter = 0x80070057;  // E_INVALIDARG
constexpr std::uint32_t kFirmwareUefi = 2;

// FWPM_GENERIC_READ / WRITE / EXECUTE / ALL.
constexpr GenericMapping kWfpMapping{
    0x00020000 | wfp_access::kBeginReadTxn | wfp_access::kClassify | wfp_access::kOpen | wfp_access::kRead |
        wfp_access::kReadStats,
    0x00020000 | wfp_access::kAdd | wfp_access::kAddLink | wfp_access::kBeginWriteTxn | wfp_access::kWrite,
    0x00020000, wfp_access::kAll};

std::unexpected<SysError> WfpFailure(std::uint32_t code) { return std::unexpected(SysError::HResult(code)); }

std::vector<std::uint8_t> EngineDescriptor() {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = winformat::well_known::LocalSystem();
    descriptor.group = winformat::well_known::LocalSystem();
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
        winformat::acl_revision::kRevision,
        {winformat::Ace::Allowed(wfp_access::kAll, winformat::well_known::Administrators()),
         winformat::Ace::Allowed(wfp_access::kOpen | wfp_access::kClassify, winformat::well_known::World())}));
    return descriptor.ToSelfRelative();
}

bool IsKnownLayer(const Guid& layer) {
    return layer == wfp_guid::kLayerAleAuthConnectV4 || layer == wfp_guid::kLayerAleAuthConnectV6 ||
           layer == wfp_guid::kLayerAleAuthRecvAcceptV4 || layer == wfp_guid::kLayerAleAuthRecvAcceptV6;
}

bool ValidWeight(const WfpValue& weight) {
    return weight.type == wfp_type::kEmpty || weight.type == wfp_type::kUint64 ||
           (weight.type == wfp_type::kUint8 && weight.uint64 <= 15);
}

// The weight BFE computes from the one given (6.3): the exact value, the
// top of a range, or one it picks.
WfpValue EffectiveWeight(const WfpValue& weight) {
    if (weight.type == wfp_type::kUint64) return weight;
    const std::uint64_t range = weight.type == wfp_type::kUint8 ? weight.uint64 : 8;
    return WfpValue{wfp_type::kUint64, range << 60, {}};
}

Guid GuidFromCounter(std::uint64_t tag, std::uint64_t counter) {
    Guid guid{};
    for (std::size_t i = 0; i < 8; ++i) {
        guid[i] = static_cast<std::uint8_t>(tag >> (8 * i));
        guid[8 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
    }
    guid[7] = static_cast<std::uint8_t>((guid[7] & 0x0F) | 0x40);
    return guid;
}

SysResult<void> CheckAccess(std::span<const std::uint8_t> descriptor, const TokenIdentity& token,
                            std::uint32_t access) {
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(descriptor);
    if (!parsed) return WfpFailure(wfp_error::kInvalidSecurityDescr);
    auto decision = EvaluateAccess(*parsed, token, access, kWfpMapping);
    if (!decision) return std::unexpected(SysError::HResult(decision.error().code));
    if (!decision->granted) return WfpFailure(wfp_error::kAccessDenied);
    return {};
}

// The object of `key` when it exists (else `not_found`) and the caller holds `access` to it.
template <class Map>
auto FindChecked(Map& objects, const Guid& key, std::uint32_t not_found, const TokenIdentity& token,
                 std::uint32_t access) -> SysResult<decltype(objects.find(key))> {
    auto it = objects.find(key);
    if (it == objects.end()) return WfpFailure(not_found);
    TELVO_TRY(CheckAccess(it->second.security_descriptor, token, access));
    return it;
}

template <class Map>
bool Referenced(const Map& objects, const Guid& key, Guid const* (*reference)(const typename Map::mapped_type&)) {
    return std::ranges::any_of(objects, [&](const auto& entry) {
        const Guid* referred = reference(entry.second);
        return referred != nullptr && *referred == key;
    });
}

}  // namespace

SimWfp::SimWfp(SimHost& host) : host_(host), engine_descriptor_(EngineDescriptor()) {
    boot_identifier_ = GuidFromCounter(0xB0075EED5A17C0DE, boots_);
    next_filter_id_ = 0x10000;
}

void SimWfp::SetBootIdentifier(const Guid& identifier) {
    std::lock_guard lock(mutex_);
    boot_identifier_ = identifier;
}

void SimWfp::NoteFilter(SimChange::Kind kind, const WfpFilter& filter) {
    host_.changes().Note([&] {
        return SimChange{kind, winformat::AsciiToUtf16(std::to_string(filter.filter_id)), {},
                         std::vector<std::uint8_t>(filter.filter_key.begin(), filter.filter_key.end()),
                         filter.provider_data};
    });
}

void SimWfp::NoteCommit(const State& before, const State& after) {
    if (!host_.changes().started()) return;
    for (const auto& [key, filter] : before.filters) {
        const auto kept = after.filters.find(key);
        if (kept == after.filters.end() || kept->second.value.filter_id != filter.value.filter_id) {
            NoteFilter(SimChange::Kind::wfp_filter_deleted, filter.value);
        }
    }
    for (const auto& [key, filter] : after.filters) {
        const auto had = before.filters.find(key);
        if (had == before.filters.end() || had->second.value.filter_id != filter.value.filter_id) {
            NoteFilter(SimChange::Kind::wfp_filter_added, filter.value);
        }
    }
}

SysResult<SimWfp::Session*> SimWfp::Find(WfpEngine engine) {
    auto it = sessions_.find(EngineSession(engine));
    if (it == sessions_.end()) return WfpFailure(wfp_error::kInvalidHandle);
    return &it->second;
}

const SimWfp::State& SimWfp::View(const Session& session) const {
    return session.transaction ? *session.transaction : committed_;
}

SysResult<void> SimWfp::Check(const Session& session, std::span<const std::uint8_t> descriptor,
                              std::uint32_t access) const {
    return CheckAccess(descriptor, session.token, access);
}

SysResult<bool> SimWfp::WriterGone(std::unique_lock<std::mutex>& lock, Session& session) {
    if (!writer_) return true;
    auto holder = sessions_.find(*writer_);
    if (holder == sessions_.end() || holder->second.process_id == session.process_id) return false;
    // Another process holds it: it may commit on its own OS thread.
    const std::uint64_t handle = session.handle;
    writer_released_.wait_for(lock, kPeerRealWait, [&] { return !writer_; });
    // Handles are never reused: a session closed meanwhile is not found.
    if (!sessions_.contains(handle)) return WfpFailure(wfp_error::kInvalidHandle);
    return !writer_;
}

void SimWfp::ReleaseWriter() {
    writer_.reset();
    writer_released_.notify_all();
}

SysResult<SimWfp::State*> SimWfp::Writable(std::unique_lock<std::mutex>& lock, Session& session) {
    if (session.transaction) {
        if (session.read_only) return WfpFailure(wfp_error::kIncompatibleTxn);
        return &*session.transaction;
    }
    // A lone call is its own transaction: it waits for another session's.
    TELVO_TRY_ASSIGN(const bool free, WriterGone(lock, session));
    if (!free) {
        host_.clock().Advance(session.txn_wait_timeout_ms == 0 ? kDefaultTxnWaitMs : session.txn_wait_timeout_ms);
        return WfpFailure(wfp_error::kTimeout);
    }
    return &committed_;
}

SysResult<std::vector<std::uint8_t>> SimWfp::DescriptorToStore(std::span<const std::uint8_t> given) const {
    if (given.empty()) return engine_descriptor_;
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(given);
    if (!parsed || !parsed->owner) return WfpFailure(wfp_error::kInvalidSecurityDescr);
    return std::vector<std::uint8_t>(given.begin(), given.end());
}

SysResult<WfpEngine> SimWfp::FwpmEngineOpen0(std::uint32_t authn_service, const WfpSession& session) {
    TELVO_SIM_ENTER(host_, "FwpmEngineOpen0", {authn_service, session.flags, session.txn_wait_timeout_ms});
    if (authn_service != rpc_authn::kWinNt && authn_service != rpc_authn::kDefault) {
        return WfpFailure(kInvalidParameter);
    }
    std::lock_guard lock(mutex_);
    Session opened;
    opened.process_id = host_.caller().id();
    opened.token = host_.security().ProcessToken().identity;
    opened.txn_wait_timeout_ms = session.txn_wait_timeout_ms;
    TELVO_TRY(Check(opened, engine_descriptor_, wfp_access::kOpen));
    const std::uint64_t handle = next_handle_ += 4;
    opened.handle = handle;
    sessions_.emplace(handle, std::move(opened));
    return WfpEngine{handle};
}

void SimWfp::EndSessionsOf(std::uint32_t process_id) {
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.process_id != process_id) {
            ++it;
            continue;
        }
        if (writer_ == it->first) ReleaseWriter();
        it = sessions_.erase(it);
    }
}

SysResult<void> SimWfp::FwpmEngineClose0(WfpEngine engine) {
    TELVO_SIM_ENTER(host_, "FwpmEngineClose0");
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(EngineSession(engine));
    if (it == sessions_.end()) return WfpFailure(wfp_error::kInvalidHandle);
    if (writer_ == it->first) ReleaseWriter();
    sessions_.erase(it);
    return {};
}

SysResult<void> SimWfp::FwpmTransactionBegin0(WfpEngine engine, std::uint32_t flags) {
    TELVO_SIM_ENTER(host_, "FwpmTransactionBegin0", {flags});
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    if (session->transaction) return WfpFailure(wfp_error::kTxnInProgress);
    const bool read_only = (flags & wfp_flag::kTxnReadOnly) != 0;
    TELVO_TRY(
        Check(*session, engine_descriptor_, read_only ? wfp_access::kBeginReadTxn : wfp_access::kBeginWriteTxn));
    if (!read_only) {
        TELVO_TRY_ASSIGN(const bool free, WriterGone(lock, *session));
        if (!free) {
            host_.clock().Advance(session->txn_wait_timeout_ms == 0 ? kDefaultTxnWaitMs
                                                                   : session->txn_wait_timeout_ms);
            return WfpFailure(wfp_error::kTimeout);
        }
        writer_ = EngineSession(engine);
    }
    session->transaction = committed_;
    session->read_only = read_only;
    return {};
}

SysResult<void> SimWfp::FwpmTransactionCommit0(WfpEngine engine) {
    TELVO_SIM_ENTER(host_, "FwpmTransactionCommit0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    if (!session->transaction) return WfpFailure(wfp_error::kNoTxnInProgress);
    if (!session->read_only) {
        NoteCommit(committed_, *session->transaction);
        committed_ = std::move(*session->transaction);
        ReleaseWriter();
    }
    session->transaction.reset();
    return {};
}

SysResult<void> SimWfp::FwpmTransactionAbort0(WfpEngine engine) {
    TELVO_SIM_ENTER(host_, "FwpmTransactionAbort0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    if (!session->transaction) return WfpFailure(wfp_error::kNoTxnInProgress);
    if (!session->read_only) ReleaseWriter();
    session->transaction.reset();
    return {};
}

SysResult<void> SimWfp::FwpmProviderAdd0(WfpEngine engine, const WfpProvider& provider,
                                         std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "FwpmProviderAdd0", {provider.flags, security_descriptor.size()});
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY(Check(*session, engine_descriptor_, wfp_access::kAdd));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    if (!provider.display_data.name) return WfpFailure(wfp_error::kNullDisplayName);
    if (state->providers.contains(provider.provider_key)) return WfpFailure(wfp_error::kAlreadyExists);
    TELVO_TRY_ASSIGN(auto descriptor, DescriptorToStore(security_descriptor));
    state->providers.emplace(provider.provider_key, Stored<WfpProvider>{provider, std::move(descriptor)});
    return {};
}

SysResult<void> SimWfp::FwpmSubLayerAdd0(WfpEngine engine, const WfpSublayer& sublayer,
                                         std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "FwpmSubLayerAdd0", {sublayer.flags, sublayer.weight, security_descriptor.size()});
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY(Check(*session, engine_descriptor_, wfp_access::kAdd));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    if (!sublayer.display_data.name) return WfpFailure(wfp_error::kNullDisplayName);
    if (state->sublayers.contains(sublayer.sublayer_key)) return WfpFailure(wfp_error::kAlreadyExists);
    if (sublayer.provider_key) {
        auto provider = state->providers.find(*sublayer.provider_key);
        if (provider == state->providers.end()) return WfpFailure(wfp_error::kProviderNotFound);
        TELVO_TRY(Check(*session, provider->second.security_descriptor, wfp_access::kAddLink));
        if ((sublayer.flags & wfp_flag::kSublayerPersistent) != 0 &&
            (provider->second.value.flags & wfp_flag::kProviderPersistent) == 0) {
            return WfpFailure(wfp_error::kLifetimeMismatch);
        }
    }
    TELVO_TRY_ASSIGN(auto descriptor, DescriptorToStore(security_descriptor));
    state->sublayers.emplace(sublayer.sublayer_key, Stored<WfpSublayer>{sublayer, std::move(descriptor)});
    return {};
}

SysResult<std::uint64_t> SimWfp::FwpmFilterAdd0(WfpEngine engine, const WfpFilter& filter,
                                                std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "FwpmFilterAdd0", {filter.flags, filter.action_type, security_descriptor.size()});
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY(Check(*session, engine_descriptor_, wfp_access::kAdd));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    if (!filter.display_data.name) return WfpFailure(wfp_error::kNullDisplayName);
    if (!IsKnownLayer(filter.layer_key)) return WfpFailure(wfp_error::kLayerNotFound);
    if (!ValidWeight(filter.weight)) return WfpFailure(wfp_error::kInvalidWeight);
    const std::size_t conditions = filter.filter_condition ? filter.filter_condition->size() : 0;
    if (conditions != filter.num_filter_conditions) return WfpFailure(kInvalidParameter);
    if (filter.filter_condition) {
        for (const WfpCondition& condition : *filter.filter_condition) {
            if (condition.field_key == wfp_guid::kConditionAlePackageId &&
                condition.condition_value.type != wfp_type::kSid) {
                return WfpFailure(wfp_error::kTypeMismatch);
            }
        }
    }
    const bool persistent = (filter.flags & wfp_flag::kFilterPersistent) != 0;
    if (filter.provider_key) {
        auto provider = state->providers.find(*filter.provider_key);
        if (provider == state->providers.end()) return WfpFailure(wfp_error::kProviderNotFound);
        TELVO_TRY(Check(*session, provider->second.security_descriptor, wfp_access::kAddLink));
        if (persistent && (provider->second.value.flags & wfp_flag::kProviderPersistent) == 0) {
            return WfpFailure(wfp_error::kLifetimeMismatch);
        }
    }
    if (filter.sublayer_key != Guid{}) {
        auto sublayer = state->sublayers.find(filter.sublayer_key);
        if (sublayer == state->sublayers.end()) return WfpFailure(wfp_error::kSublayerNotFound);
        TELVO_TRY(Check(*session, sublayer->second.security_descriptor, wfp_access::kAddLink));
        if (persistent && (sublayer->second.value.flags & wfp_flag::kSublayerPersistent) == 0) {
            return WfpFailure(wfp_error::kLifetimeMismatch);
        }
    }
    WfpFilter stored = filter;
    if (stored.filter_key == Guid{}) stored.filter_key = GuidFromCounter(0xF117E5, ++generated_keys_);
    if (state->filters.contains(stored.filter_key)) return WfpFailure(wfp_error::kAlreadyExists);
    TELVO_TRY_ASSIGN(auto descriptor, DescriptorToStore(security_descriptor));
    stored.filter_id = ++next_filter_id_;
    stored.effective_weight = EffectiveWeight(filter.weight);
    state->filters.emplace(stored.filter_key, Stored<WfpFilter>{stored, std::move(descriptor)});
    if (state == &committed_) NoteFilter(SimChange::Kind::wfp_filter_added, stored);
    return stored.filter_id;
}

SysResult<std::optional<WfpProvider>> SimWfp::FwpmProviderGetByKey0(WfpEngine engine, const Guid& key) {
    TELVO_SIM_ENTER(host_, "FwpmProviderGetByKey0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(auto it, FindChecked(View(*session).providers, key, wfp_error::kProviderNotFound,
                                          session->token, wfp_access::kRead));
    return std::optional<WfpProvider>(it->second.value);
}

SysResult<std::optional<WfpSublayer>> SimWfp::FwpmSubLayerGetByKey0(WfpEngine engine, const Guid& key) {
    TELVO_SIM_ENTER(host_, "FwpmSubLayerGetByKey0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(auto it, FindChecked(View(*session).sublayers, key, wfp_error::kSublayerNotFound,
                                          session->token, wfp_access::kRead));
    return std::optional<WfpSublayer>(it->second.value);
}

SysResult<void> SimWfp::FwpmProviderDeleteByKey0(WfpEngine engine, const Guid& key) {
    TELVO_SIM_ENTER(host_, "FwpmProviderDeleteByKey0");
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    TELVO_TRY_ASSIGN(auto it, FindChecked(state->providers, key, wfp_error::kProviderNotFound, session->token, kDelete));
    const auto sublayer_provider = [](const Stored<WfpSublayer>& s) -> const Guid* {
        return s.value.provider_key ? &*s.value.provider_key : nullptr;
    };
    const auto filter_provider = [](const Stored<WfpFilter>& f) -> const Guid* {
        return f.value.provider_key ? &*f.value.provider_key : nullptr;
    };
    if (Referenced(state->sublayers, key, +sublayer_provider) || Referenced(state->filters, key, +filter_provider)) {
        return WfpFailure(wfp_error::kInUse);
    }
    state->providers.erase(it);
    return {};
}

SysResult<void> SimWfp::FwpmSubLayerDeleteByKey0(WfpEngine engine, const Guid& key) {
    TELVO_SIM_ENTER(host_, "FwpmSubLayerDeleteByKey0");
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    TELVO_TRY_ASSIGN(auto it, FindChecked(state->sublayers, key, wfp_error::kSublayerNotFound, session->token, kDelete));
    const auto filter_sublayer = [](const Stored<WfpFilter>& f) -> const Guid* { return &f.value.sublayer_key; };
    if (Referenced(state->filters, key, +filter_sublayer)) return WfpFailure(wfp_error::kInUse);
    state->sublayers.erase(it);
    return {};
}

SysResult<void> SimWfp::FwpmFilterDeleteByKey0(WfpEngine engine, const Guid& key) {
    TELVO_SIM_ENTER(host_, "FwpmFilterDeleteByKey0");
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    TELVO_TRY_ASSIGN(auto it, FindChecked(state->filters, key, wfp_error::kFilterNotFound, session->token, kDelete));
    if (state == &committed_) NoteFilter(SimChange::Kind::wfp_filter_deleted, it->second.value);
    state->filters.erase(it);
    return {};
}

SysResult<void> SimWfp::FwpmFilterDeleteById0(WfpEngine engine, std::uint64_t id) {
    TELVO_SIM_ENTER(host_, "FwpmFilterDeleteById0", {id});
    std::unique_lock lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY_ASSIGN(State* state, Writable(lock, *session));
    auto it = std::ranges::find_if(state->filters, [id](const auto& entry) { return entry.second.value.filter_id == id; });
    if (it == state->filters.end()) return WfpFailure(wfp_error::kFilterNotFound);
    TELVO_TRY(Check(*session, it->second.security_descriptor, kDelete));
    if (state == &committed_) NoteFilter(SimChange::Kind::wfp_filter_deleted, it->second.value);
    state->filters.erase(it);
    return {};
}

SysResult<WfpEnum> SimWfp::FwpmFilterCreateEnumHandle0(WfpEngine engine) {
    TELVO_SIM_ENTER(host_, "FwpmFilterCreateEnumHandle0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    TELVO_TRY(Check(*session, engine_descriptor_, wfp_access::kEnum));
    Cursor cursor;
    for (const auto& [key, filter] : View(*session).filters) {
        if (Check(*session, filter.security_descriptor, wfp_access::kRead)) cursor.snapshot.push_back(filter.value);
    }
    const std::uint64_t handle = next_handle_ += 4;
    session->enums.emplace(handle, std::move(cursor));
    return WfpEnum{handle};
}

SysResult<WfpFilterBatch> SimWfp::FwpmFilterEnum0(WfpEngine engine, WfpEnum enum_handle,
                                                  std::uint32_t num_entries_requested) {
    TELVO_SIM_ENTER(host_, "FwpmFilterEnum0", {num_entries_requested});
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    auto it = session->enums.find(static_cast<std::uint64_t>(enum_handle));
    if (it == session->enums.end()) return WfpFailure(wfp_error::kInvalidHandle);
    Cursor& cursor = it->second;
    const std::size_t count = std::min<std::size_t>(num_entries_requested, cursor.snapshot.size() - cursor.position);
    WfpFilterBatch batch;
    batch.num_entries_returned = static_cast<std::uint32_t>(count);
    if (count == 0) return batch;
    batch.entries.emplace();
    for (std::size_t i = 0; i < count; ++i) batch.entries->emplace_back(cursor.snapshot[cursor.position++]);
    return batch;
}

SysResult<void> SimWfp::FwpmFilterDestroyEnumHandle0(WfpEngine engine, WfpEnum enum_handle) {
    TELVO_SIM_ENTER(host_, "FwpmFilterDestroyEnumHandle0");
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    if (session->enums.erase(static_cast<std::uint64_t>(enum_handle)) == 0) {
        return WfpFailure(wfp_error::kInvalidHandle);
    }
    return {};
}

namespace {

template <class Map>
SysResult<std::vector<std::uint8_t>> SecurityOf(const Map& objects, const Guid& key, std::uint32_t not_found,
                                                const TokenIdentity& token, std::uint32_t security_info) {
    TELVO_TRY_ASSIGN(auto it, FindChecked(objects, key, not_found, token, kReadControl));
    auto parts = SelectDescriptorParts(it->second.security_descriptor, security_info);
    if (!parts) return WfpFailure(wfp_error::kInvalidSecurityDescr);
    return std::move(*parts);
}

}  // namespace

SysResult<std::vector<std::uint8_t>> SimWfp::FwpmProviderGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                              std::uint32_t security_info) {
    TELVO_SIM_ENTER(host_, "FwpmProviderGetSecurityInfoByKey0", {security_info});
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    return SecurityOf(View(*session).providers, key, wfp_error::kProviderNotFound, session->token, security_info);
}

SysResult<std::vector<std::uint8_t>> SimWfp::FwpmSubLayerGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                              std::uint32_t security_info) {
    TELVO_SIM_ENTER(host_, "FwpmSubLayerGetSecurityInfoByKey0", {security_info});
    std::lock_guard lock(mutex_);
    TELVO_TRY_ASSIGN(Session* session, Find(engine));
    return SecurityOf(View(*session).sublayers, key, wfp_error::kSublayerNotFound, session->token, security_info);
}

SysResult<std::uint32_t> SimWfp::NtQuerySystemInformation(std::uint32_t information_class,
                                                          std::span<std::uint8_t> buffer) {
    TELVO_SIM_ENTER(host_, "NtQuerySystemInformation", {information_class, buffer.size()});
    if (information_class != kSystemBootEnvironmentInformation) {
        return std::unexpected(SysError::NtStatus(kStatusInvalidInfoClass));
    }
    std::lock_guard lock(mutex_);
    if (buffer.size() < boot_information_length_) return std::unexpected(SysError::NtStatus(kStatusInfoLengthMismatch));
    std::ranges::fill(buffer.first(boot_information_length_), std::uint8_t{0});
    std::memcpy(buffer.data(), boot_identifier_.data(), std::min<std::size_t>(16, boot_information_length_));
    if (boot_information_length_ >= 20) buffer[16] = kFirmwareUefi;
    return boot_information_length_;
}

std::vector<WfpFilter> SimWfp::Filters() const {
    std::lock_guard lock(mutex_);
    std::vector<WfpFilter> filters;
    for (const auto& [key, filter] : committed_.filters) filters.push_back(filter.value);
    return filters;
}

std::optional<WfpProvider> SimWfp::Provider(const Guid& key) const {
    std::lock_guard lock(mutex_);
    auto it = committed_.providers.find(key);
    if (it == committed_.providers.end()) return std::nullopt;
    return it->second.value;
}

std::optional<WfpSublayer> SimWfp::Sublayer(const Guid& key) const {
    std::lock_guard lock(mutex_);
    auto it = committed_.sublayers.find(key);
    if (it == committed_.sublayers.end()) return std::nullopt;
    return it->second.value;
}

namespace {

template <class Map, class Change>
bool ChangeStored(Map& objects, const Guid& key, const Change& change) {
    auto it = objects.find(key);
    if (it == objects.end()) return false;
    change(it->second);
    return true;
}

}  // namespace

bool SimWfp::ChangeFilter(const Guid& key, const std::function<void(WfpFilter&)>& change) {
    std::lock_guard lock(mutex_);
    return ChangeStored(committed_.filters, key, [&](auto& stored) { change(stored.value); });
}

bool SimWfp::EraseFilter(const Guid& key) {
    std::lock_guard lock(mutex_);
    return committed_.filters.erase(key) != 0;
}

bool SimWfp::ChangeProvider(const Guid& key, const std::function<void(WfpProvider&)>& change) {
    std::lock_guard lock(mutex_);
    return ChangeStored(committed_.providers, key, [&](auto& stored) { change(stored.value); });
}

bool SimWfp::ChangeSublayer(const Guid& key, const std::function<void(WfpSublayer&)>& change) {
    std::lock_guard lock(mutex_);
    return ChangeStored(committed_.sublayers, key, [&](auto& stored) { change(stored.value); });
}

bool SimWfp::SetProviderSecurity(const Guid& key, std::vector<std::uint8_t> descriptor) {
    std::lock_guard lock(mutex_);
    return ChangeStored(committed_.providers, key, [&](auto& stored) { stored.security_descriptor = descriptor; });
}

bool SimWfp::SetSublayerSecurity(const Guid& key, std::vector<std::uint8_t> descriptor) {
    std::lock_guard lock(mutex_);
    return ChangeStored(committed_.sublayers, key, [&](auto& stored) { stored.security_descriptor = descriptor; });
}

std::size_t SimWfp::OpenSessions() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

bool SimWfp::TransactionOpen() const {
    std::lock_guard lock(mutex_);
    return writer_.has_value();
}

void SimWfp::Reboot() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
    ReleaseWriter();
    std::erase_if(committed_.providers,
                  [](const auto& entry) { return (entry.second.value.flags & wfp_flag::kProviderPersistent) == 0; });
    std::erase_if(committed_.sublayers,
                  [](const auto& entry) { return (entry.second.value.flags & wfp_flag::kSublayerPersistent) == 0; });
    std::erase_if(committed_.filters,
                  [](const auto& entry) { return (entry.second.value.flags & wfp_flag::kFilterPersistent) == 0; });
    for (auto& [key, provider] : committed_.providers) {
        const auto& service_name = provider.value.service_name;
        const SimInstalledService* service = service_name ? host_.service().Find(*service_name) : nullptr;
        if (service == nullptr || service->config.start_type != service_start::kAutoStart) {
            provider.value.flags |= wfp_flag::kProviderDisabled;
        }
    }
    ++boots_;
    next_filter_id_ = 0x10000 + boots_ * 0x1000000;
    for (auto& [key, filter] : committed_.filters) {
        filter.value.filter_id = ++next_filter_id_;
        const auto& provider_key = filter.value.provider_key;
        auto provider = provider_key ? committed_.providers.find(*provider_key) : committed_.providers.end();
        if (provider != committed_.providers.end() &&
            (provider->second.value.flags & wfp_flag::kProviderDisabled) != 0) {
            filter.value.flags |= wfp_flag::kFilterDisabled;
        }
    }
    boot_identifier_ = GuidFromCounter(0xB0075EED5A17C0DE, boots_);
}

}  // namespace telvo::platform::sim
