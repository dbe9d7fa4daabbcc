#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace telvo::json {

// Objects keep their members in the order they were added or read.
using Json = nlohmann::ordered_json;

// Where a value ended in the source text, mirrored over the parsed tree.
struct SourceNode {
    std::size_t end_offset = 0;
    std::vector<SourceNode> children;  // object members or array elements, in order
};

class Document;

// A parsed value together with where it stood in the text.
struct Node {
    const Json* value;
    const SourceNode* source;
    const Document* document;

    std::string Where() const;  // "at line L, column C"
};

// Strictly parsed JSON text: malformed text, text that is not UTF-8, a
// byte-order mark, duplicate keys, nesting deeper than the limit and anything
// but whitespace after the value are refused. Keys and strings of a parsed
// document are valid UTF-8, so messages may quote them as they are.
class Document {
public:
    static constexpr std::size_t kMaxDepth = 64;

    static Result<Document> Parse(std::string_view text);

    Node root() const { return {&value_, source_.get(), this}; }
    std::string Where(std::size_t offset) const;
    std::string_view Text() const { return text_; }

private:
    std::string_view text_;  // only for positions; the caller keeps the text alive while decoding
    Json value_;
    std::unique_ptr<SourceNode> source_;
};

// Typed reads. Every message names the key and the position of the value.
Result<std::string> ReadString(const Node& node, std::string_view key);
Result<bool> ReadBool(const Node& node, std::string_view key);
Result<std::uint32_t> ReadU32(const Node& node, std::string_view key);
Result<std::uint64_t> ReadU64(const Node& node, std::string_view key);
Result<std::int32_t> ReadI32(const Node& node, std::string_view key);
Result<std::vector<std::string>> ReadStringArray(const Node& node, std::string_view key);
// The elements of an array, in order.
Result<std::vector<Node>> ReadArray(const Node& node, std::string_view key);

// Reads the members of one object. Members are taken by name; what is left
// over is then refused or skipped.
class ObjectReader {
public:
    static Result<ObjectReader> Open(const Node& node, std::string_view what);

    Result<Node> Take(std::string_view key);  // "missing field `key`"
    // Takes `key` and reads it with `read`, which names the key in its errors.
    template <class T>
    Result<T> Field(std::string_view key, Result<T> (*read)(const Node&, std::string_view)) {
        auto node = Take(key);
        if (!node) return std::unexpected(std::move(node.error()));
        return read(*node, key);
    }
    std::optional<Node> TakeIfPresent(std::string_view key);
    Result<void> RefuseUnknown() const;  // "unknown field `key`"

private:
    explicit ObjectReader(const Node& node) : node_(node), taken_(node.value->size(), false) {}
    Node node_;
    std::vector<bool> taken_;
};

// Compact text (no spaces), members in their stored order. Text that is
// not valid UTF-8 is refused.
Result<std::string> WriteCompact(const Json& value);
// The same, indented by two spaces per level, with a final newline: text for people to read.
Result<std::string> WriteIndented(const Json& value);

// Text from outside (input bytes, arguments) made fit to stand in a message:
// well-formed UTF-8 stays as it is; every other byte is shown as \xNN
// (two lower-case hexadecimal digits). The result is always valid UTF-8.
std::string MessageText(std::string_view bytes);

}  // namespace telvo::json
