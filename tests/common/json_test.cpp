#include "common/json.h"

#include <gtest/gtest.h>

#include <limits>

namespace telvo::json {
namespace {

TEST(Json, NestingIsBounded) {
    const std::string ok = std::string(Document::kMaxDepth, '[') + std::string(Document::kMaxDepth, ']');
    EXPECT_TRUE(Document::Parse(ok));
    const std::string deep = std::string(Document::kMaxDepth + 1, '[') + std::string(Document::kMaxDepth + 1, ']');
    auto parsed = Document::Parse(deep);
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.error().Display().find("nesting deeper than 64 levels"), std::string::npos);
    // A megabyte of opening brackets is refused quickly, without recursion.
    EXPECT_FALSE(Document::Parse(std::string(1 << 20, '[')));
}

TEST(Json, DuplicateKeysAreFoundInLargeObjects) {
    std::string text = "{";
    for (int i = 0; i < 20000; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k17\":0}";
    auto parsed = Document::Parse(text);
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.error().Display().find("duplicate field `k17`"), std::string::npos);
    // Keys equal at one level may repeat at another.
    EXPECT_TRUE(Document::Parse(R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})"));
}

TEST(Json, IntegerRanges) {
    auto doc = Document::Parse(R"([4294967295,4294967296,18446744073709551615,-2147483648,2147483648,-1])");
    ASSERT_TRUE(doc);
    const Json& array = *doc->root().value;
    const auto element = [&](std::size_t i) {
        return Node{&array[i], &doc->root().source->children[i], &*doc};
    };
    EXPECT_EQ(*ReadU32(element(0), "n"), 4294967295u);
    EXPECT_FALSE(ReadU32(element(1), "n"));
    EXPECT_EQ(*ReadU64(element(2), "n"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(*ReadI32(element(3), "n"), std::numeric_limits<std::int32_t>::min());
    EXPECT_FALSE(ReadI32(element(4), "n"));
    EXPECT_FALSE(ReadU64(element(5), "n"));
    EXPECT_EQ(ReadU32(element(1), "n").error().Display(),
              "invalid value: integer `4294967296`, expected a whole number from 0 to 4294967295 for `n` at line 1, column 22");
}

TEST(Json, ReaderTakesAndRefuses) {
    const std::string text = R"({"a":1,"b":"x","c":true})";
    auto doc = Document::Parse(text);
    ASSERT_TRUE(doc);
    auto reader = ObjectReader::Open(doc->root(), "an object");
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->Take("a"));
    EXPECT_FALSE(reader->TakeIfPresent("zzz"));
    EXPECT_TRUE(reader->TakeIfPresent("c"));
    auto unknown = reader->RefuseUnknown();
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().Display(), "unknown field `b` at line 1, column 14");
    EXPECT_TRUE(reader->Take("b"));
    EXPECT_TRUE(reader->RefuseUnknown());
}

TEST(Json, CompactWriterKeepsInsertionOrder) {
    Json object = Json::object();
    object["z"] = 1;
    object["a"] = Json::array({"x", true, nullptr});
    object["m"] = "é\"\\";
    EXPECT_EQ(*WriteCompact(object), R"({"z":1,"a":["x",true,null],"m":"é\"\\"})");
    Json bad = Json::object();
    bad["s"] = std::string("\xC3");
    EXPECT_FALSE(WriteCompact(bad));
}

// The parser would skip a leading byte-order mark; the layer refuses it for
// every document (requests and journals alike).
// The parser stops at a NUL byte as if the input ended there; the layer
// refuses the byte wherever it stands, so nothing can hide behind it.
TEST(Json, RefusesANulByteAnywhere) {
    for (const std::string& text : {std::string("{}\0", 3), std::string("{}\0garbage", 10), std::string("[\"a\0\"]", 6)}) {
        auto parsed = Document::Parse(text);
        ASSERT_FALSE(parsed) << text.size();
        EXPECT_NE(parsed.error().Display().find("NUL byte"), std::string::npos);
    }
    EXPECT_EQ(Document::Parse(std::string("{}\0", 3)).error().Display(),
              "parse error at line 1, column 3: syntax error while parsing value - NUL byte in the text");
}

TEST(Json, RefusesAByteOrderMark) {
    auto parsed = Document::Parse("\xEF\xBB\xBF{\"a\":1}");
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.error().Display().find("byte-order mark"), std::string::npos);
    EXPECT_TRUE(Document::Parse("{\"a\":1}"));
    EXPECT_FALSE(Document::Parse(" \xEF\xBB\xBF{}"));
}

TEST(Json, MessageTextKeepsUtf8AndEscapesEveryOtherByte) {
    EXPECT_EQ(MessageText("plain \\x41 text"), "plain \\x41 text");
    EXPECT_EQ(MessageText("W\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"),
              "W\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF");
    EXPECT_EQ(MessageText("a\xFF" "b"), "a\\xff" "b");
    EXPECT_EQ(MessageText("\xC0\xAF"), "\\xc0\\xaf");                 // overlong form
    EXPECT_EQ(MessageText("\xE0\x80\xAF"), "\\xe0\\x80\\xaf");        // overlong form
    EXPECT_EQ(MessageText("\xED\xA0\x80"), "\\xed\\xa0\\x80");        // surrogate
    EXPECT_EQ(MessageText("\xF4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // above U+10FFFF
    EXPECT_EQ(MessageText("\xF0\x9F\x98"), "\\xf0\\x9f\\x98");        // cut short
    EXPECT_EQ(MessageText("\xE2\x82" "A"), "\\xe2\\x82" "A");
    Json text = std::string(MessageText("\xC3(\x80\xF5"));
    EXPECT_TRUE(WriteCompact(text));
}

}  // namespace
}  // namespace telvo::json
