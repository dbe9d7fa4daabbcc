#include "network_broker/broker_message.h"

#include <gtest/gtest.h>

namespace telvo::network_broker {
namespace {

TEST(BrokerMessage, RequestsAreWrittenTagFirstInFieldOrderCompactly) {
    EXPECT_EQ(EncodeBrokerRequest(StatusRequest{}).value(), R"({"operation":"status","protocolVersion":1})");
    EXPECT_EQ(EncodeBrokerRequest(RegisterRequest{1, "p", 4294967295u, 18446744073709551615ull}).value(),
              R"({"operation":"register","protocolVersion":1,"profileName":"p","processId":4294967295,)"
              R"("jobHandle":18446744073709551615})");
    EXPECT_EQ(EncodeBrokerRequest(RecoverRequest{1, "p"}).value(),
              R"({"operation":"recover","protocolVersion":1,"profileName":"p"})");
    EXPECT_EQ(EncodeBrokerRequest(ReleaseRequest{1, "p", "l", 8}).value(),
              R"({"operation":"release","protocolVersion":1,"profileName":"p","leaseId":"l","jobHandle":8})");
    EXPECT_FALSE(EncodeBrokerRequest(RecoverRequest{1, "\xFF"}));
}

TEST(BrokerMessage, RepliesAreWrittenInFieldOrder) {
    EXPECT_EQ(EncodeBrokerReply({1, 1, 812, RegisteredResult{"l", {1, 2, 3, 4}}}).value(),
              R"({"protocolVersion":1,"policyVersion":1,"servicePid":812,)"
              R"("result":{"kind":"registered","leaseId":"l","filterIds":[1,2,3,4]}})");
    EXPECT_EQ(EncodeBrokerReply({1, 1, 2, StatusResult{5, 6}}).value(),
              R"({"protocolVersion":1,"policyVersion":1,"servicePid":2,"result":{"kind":"status","activeLeases":5,)"
              R"("retainedLeases":6}})");
    EXPECT_EQ(EncodeBrokerReply({1, 1, 2, ErrorResult{"m"}}).value(),
              R"({"protocolVersion":1,"policyVersion":1,"servicePid":2,"result":{"kind":"error","message":"m"}})");
}

TEST(BrokerMessage, EveryVariantDecodesBackInAnyFieldOrder) {
    const std::vector<BrokerRequest> requests{StatusRequest{}, RegisterRequest{1, "p", 7, 9}, RecoverRequest{1, "q"},
                                              ReleaseRequest{1, "p", "l", 3}};
    for (const auto& request : requests) {
        EXPECT_EQ(DecodeBrokerRequest(EncodeBrokerRequest(request).value()).value(), request);
    }
    const std::vector<BrokerResult> results{StatusResult{1, 2}, RegisteredResult{"l", {1, 2, 3, 4}}, ReleasedResult{},
                                            RecoveredResult{}, ErrorResult{"e"}};
    for (const auto& result : results) {
        const BrokerReply reply{1, 1, 9, result};
        EXPECT_EQ(DecodeBrokerReply(EncodeBrokerReply(reply).value()).value(), reply);
    }
    EXPECT_EQ(DecodeBrokerRequest(R"({"jobHandle":3,"leaseId":"l","profileName":"p","protocolVersion":1,)"
                                  R"("operation":"release"})")
                  .value(),
              BrokerRequest(ReleaseRequest{1, "p", "l", 3}));
    EXPECT_EQ(DecodeBrokerReply(R"({"result":{"retainedLeases":2,"kind":"status","activeLeases":1},"servicePid":4,)"
                                R"("policyVersion":1,"protocolVersion":1})")
                  .value(),
              (BrokerReply{1, 1, 4, StatusResult{1, 2}}));
}

TEST(BrokerMessage, MalformedRequestsAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"protocolVersion":1})", "missing field `operation`"},
        {R"({"operation":"run","protocolVersion":1})", "unknown variant `run`"},
        {R"({"operation":"recover","protocolVersion":1})", "missing field `profileName`"},
        {R"({"operation":"status","protocolVersion":1,"extra":0})", "unknown field `extra`"},
        {R"({"operation":"status","protocolVersion":"1"})", "invalid type"},
        {R"({"operation":"status","protocolVersion":4294967296})", "invalid value"},
        {R"({"operation":"register","protocolVersion":1,"profileName":"p","processId":-1,"jobHandle":1})", "invalid value"},
        {R"({"operation":7,"protocolVersion":1})", "invalid type"},
        {R"([])", "invalid type"},
        {R"({"operation":"status","protocolVersion":1} x)", "parse error"},
    };
    for (const auto& [text, expected] : cases) {
        auto decoded = DecodeBrokerRequest(text);
        ASSERT_FALSE(decoded) << text;
        EXPECT_NE(decoded.error().Display().find(expected), std::string::npos) << decoded.error().Display();
    }
}

TEST(BrokerMessage, MalformedRepliesAreRefused) {
    const std::string head = R"({"protocolVersion":1,"policyVersion":1,"servicePid":1,"result":)";
    const std::vector<std::pair<std::string, std::string>> cases{
        {head + R"({"kind":"registered","leaseId":"l","filterIds":[1,2,3]}})", "invalid length 3"},
        {head + R"({"kind":"registered","leaseId":"l","filterIds":[1,2,3,4,5]}})", "invalid length 5"},
        {head + R"({"kind":"registered","leaseId":"l","filterIds":[1,2,3,"4"]}})", "invalid type"},
        {head + R"({"kind":"registered","leaseId":1,"filterIds":[1,2,3,4]}})", "invalid type"},
        {head + R"({"kind":"released","message":"x"}})", "unknown field `message`"},
        {head + R"({"kind":"fine"}})", "unknown variant `fine`"},
        {head + R"({"leaseId":"l"}})", "missing field `kind`"},
        {head + R"({"kind":"error"}})", "missing field `message`"},
        {R"({"protocolVersion":1,"policyVersion":1,"result":{"kind":"released"}})", "missing field `servicePid`"},
        {head + R"({"kind":"released"},"extra":1})", "unknown field `extra`"},
        {head + R"("released"})", "invalid type"},
    };
    for (const auto& [text, expected] : cases) {
        auto decoded = DecodeBrokerReply(text);
        ASSERT_FALSE(decoded) << text;
        EXPECT_NE(decoded.error().Display().find(expected), std::string::npos) << decoded.error().Display();
    }
}

}  // namespace
}  // namespace telvo::network_broker
