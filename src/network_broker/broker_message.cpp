#include "network_broker/broker_message.h"

#include <vector>

#include "common/json.h"
#include "common/try.h"

namespace telvo::network_broker {

namespace {

using json::Json;

// Reads the tag of an internally tagged object; the reader keeps the rest.
Result<std::string> Tag(json::ObjectReader& reader, std::string_view tag_key, json::Node& tag_node) {
    TELVO_TRY_ASSIGN(tag_node, reader.Take(tag_key));
    return json::ReadString(tag_node, tag_key);
}

template <class T>
Result<T> Finish(json::ObjectReader& reader, T value) {
    TELVO_TRY(reader.RefuseUnknown());
    return value;
}

Json RequestJson(const BrokerRequest& request) {
    Json object = Json::object();
    std::visit(
        [&object](const auto& variant) {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, StatusRequest>) {
                object["operation"] = "status";
                object["protocolVersion"] = variant.protocol_version;
            } else if constexpr (std::is_same_v<T, RegisterRequest>) {
                object["operation"] = "register";
                object["protocolVersion"] = variant.protocol_version;
                object["profileName"] = variant.profile_name;
                object["processId"] = variant.process_id;
                object["jobHandle"] = variant.job_handle;
            } else if constexpr (std::is_same_v<T, RecoverRequest>) {
                object["operation"] = "recover";
                object["protocolVersion"] = variant.protocol_version;
                object["profileName"] = variant.profile_name;
            } else {
                object["operation"] = "release";
                object["protocolVersion"] = variant.protocol_version;
                object["profileName"] = variant.profile_name;
                object["leaseId"] = variant.lease_id;
                object["jobHandle"] = variant.job_handle;
            }
        },
        request);
    return object;
}

Json ResultJson(const BrokerResult& result) {
    Json object = Json::object();
    std::visit(
        [&object](const auto& variant) {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, StatusResult>) {
                object["kind"] = "status";
                object["activeLeases"] = variant.active_leases;
                object["retainedLeases"] = variant.retained_leases;
            } else if constexpr (std::is_same_v<T, RegisteredResult>) {
                object["kind"] = "registered";
                object["leaseId"] = variant.lease_id;
                object["filterIds"] = variant.filter_ids;
            } else if constexpr (std::is_same_v<T, ReleasedResult>) {
                object["kind"] = "released";
            } else if constexpr (std::is_same_v<T, RecoveredResult>) {
                object["kind"] = "recovered";
            } else {
                object["kind"] = "error";
                object["message"] = variant.message;
            }
        },
        result);
    return object;
}

Result<std::array<std::uint64_t, 4>> ReadFilterIds(const json::Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(std::vector<json::Node> elements, json::ReadArray(node, key));
    if (elements.size() != 4) {
        return Fail("invalid length " + std::to_string(elements.size()) + ", expected an array of length 4 for `" +
                    std::string(key) + "` " + node.Where());
    }
    std::array<std::uint64_t, 4> ids{};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        TELVO_TRY_ASSIGN(ids[i], json::ReadU64(elements[i], key));
    }
    return ids;
}

Result<BrokerResult> ReadResult(const json::Node& node, std::string_view) {
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(node, "internally tagged enum BrokerResult"));
    json::Node tag_node = node;
    TELVO_TRY_ASSIGN(const std::string kind, Tag(reader, "kind", tag_node));
    if (kind == "status") {
        StatusResult status;
        TELVO_TRY_ASSIGN(status.active_leases, reader.Field("activeLeases", &json::ReadU64));
        TELVO_TRY_ASSIGN(status.retained_leases, reader.Field("retainedLeases", &json::ReadU64));
        return Finish<BrokerResult>(reader, status);
    }
    if (kind == "registered") {
        RegisteredResult registered;
        TELVO_TRY_ASSIGN(registered.lease_id, reader.Field("leaseId", &json::ReadString));
        TELVO_TRY_ASSIGN(registered.filter_ids, reader.Field("filterIds", &ReadFilterIds));
        return Finish<BrokerResult>(reader, registered);
    }
    if (kind == "released") return Finish<BrokerResult>(reader, ReleasedResult{});
    if (kind == "recovered") return Finish<BrokerResult>(reader, RecoveredResult{});
    if (kind == "error") {
        ErrorResult error;
        TELVO_TRY_ASSIGN(error.message, reader.Field("message", &json::ReadString));
        return Finish<BrokerResult>(reader, error);
    }
    return Fail("unknown variant `" + kind +
                "`, expected one of `status`, `registered`, `released`, `recovered`, `error` " + tag_node.Where());
}

}  // namespace

Result<std::string> EncodeBrokerRequest(const BrokerRequest& request) {
    return json::WriteCompact(RequestJson(request));
}

Result<std::string> EncodeBrokerReply(const BrokerReply& reply) {
    Json object = Json::object();
    object["protocolVersion"] = reply.protocol_version;
    object["policyVersion"] = reply.policy_version;
    object["servicePid"] = reply.service_pid;
    object["result"] = ResultJson(reply.result);
    return json::WriteCompact(object);
}

Result<BrokerRequest> DecodeBrokerRequest(std::string_view text) {
    TELVO_TRY_ASSIGN(auto document, json::Document::Parse(text));
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(document.root(), "internally tagged enum BrokerRequest"));
    json::Node tag_node = document.root();
    TELVO_TRY_ASSIGN(const std::string operation, Tag(reader, "operation", tag_node));
    if (operation == "status") {
        StatusRequest status;
        TELVO_TRY_ASSIGN(status.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
        return Finish<BrokerRequest>(reader, status);
    }
    if (operation == "register") {
        RegisterRequest registration;
        TELVO_TRY_ASSIGN(registration.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
        TELVO_TRY_ASSIGN(registration.profile_name, reader.Field("profileName", &json::ReadString));
        TELVO_TRY_ASSIGN(registration.process_id, reader.Field("processId", &json::ReadU32));
        TELVO_TRY_ASSIGN(registration.job_handle, reader.Field("jobHandle", &json::ReadU64));
        return Finish<BrokerRequest>(reader, registration);
    }
    if (operation == "recover") {
        RecoverRequest recover;
        TELVO_TRY_ASSIGN(recover.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
        TELVO_TRY_ASSIGN(recover.profile_name, reader.Field("profileName", &json::ReadString));
        return Finish<BrokerRequest>(reader, recover);
    }
    if (operation == "release") {
        ReleaseRequest release;
        TELVO_TRY_ASSIGN(release.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
        TELVO_TRY_ASSIGN(release.profile_name, reader.Field("profileName", &json::ReadString));
        TELVO_TRY_ASSIGN(release.lease_id, reader.Field("leaseId", &json::ReadString));
        TELVO_TRY_ASSIGN(release.job_handle, reader.Field("jobHandle", &json::ReadU64));
        return Finish<BrokerRequest>(reader, release);
    }
    return Fail("unknown variant `" + operation +
                "`, expected one of `status`, `register`, `recover`, `release` " + tag_node.Where());
}

Result<BrokerReply> DecodeBrokerReply(std::string_view text) {
    TELVO_TRY_ASSIGN(auto document, json::Document::Parse(text));
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(document.root(), "struct BrokerReply"));
    BrokerReply reply;
    TELVO_TRY_ASSIGN(reply.protocol_version, reader.Field("protocolVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(reply.policy_version, reader.Field("policyVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(reply.service_pid, reader.Field("servicePid", &json::ReadU32));
    TELVO_TRY_ASSIGN(reply.result, reader.Field("result", &ReadResult));
    return Finish(reader, std::move(reply));
}

}  // namespace telvo::network_broker
