#include "common/json.h"

#include <iterator>
#include <limits>
#include <unordered_set>

namespace telvo::json {

namespace {

// An input iterator that publishes how far the parser has read, so that the
// SAX events can be placed in the text.
class CountingIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator() = default;
    CountingIterator(const char* position, std::size_t* consumed, const char* begin)
        : position_(position), consumed_(consumed), begin_(begin) {}

    reference operator*() const { return *position_; }
    CountingIterator& operator++() {
        ++position_;
        *consumed_ = static_cast<std::size_t>(position_ - begin_);
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return position_ == other.position_; }

private:
    const char* position_ = nullptr;
    std::size_t* consumed_ = nullptr;
    const char* begin_ = nullptr;
};

std::string StripExceptionPrefix(std::string_view what) {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    if (!what.empty() && what.front() == '[') {
        const auto close = what.find("] ");
        if (close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    return std::string(what);
}

// Builds the tree and its source mirror, refusing duplicate keys and deep nesting.
class StrictBuilder : public nlohmann::json_sax<Json> {
public:
    StrictBuilder(Json& root, SourceNode& root_source, const std::size_t& consumed, const Document& doc)
        : root_(root), root_source_(root_source), consumed_(consumed), doc_(doc) {}

    std::optional<Error> error;

    bool null() override { return Add(nullptr); }
    bool boolean(bool value) override { return Add(value); }
    bool number_integer(number_integer_t value) override { return AddNumber(value); }
    bool number_unsigned(number_unsigned_t value) override { return AddNumber(value); }
    bool number_float(number_float_t value, const string_t&) override { return AddNumber(value); }
    bool string(string_t& value) override { return Add(std::move(value)); }
    bool binary(binary_t&) override { return Refuse("binary values are not JSON"); }

    bool start_object(std::size_t) override { return Open(Json::object()); }
    bool start_array(std::size_t) override { return Open(Json::array()); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t& key) override {
        Frame& frame = frames_.back();
        if (!frame.keys.insert(key).second) {
            return Refuse("duplicate field `" + key + "` " + doc_.Where(consumed_));
        }
        pending_key_ = std::move(key);
        return true;
    }

    // The parser's message quotes the last token read, which may hold bytes
    // that are not UTF-8.
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
        if (!error) error = Error(MessageText(StripExceptionPrefix(ex.what())));
        return false;
    }

private:
    struct Frame {
        Json* value;
        SourceNode* source;
        std::unordered_set<std::string> keys;
    };

    bool Refuse(std::string message) {
        if (!error) error = Error(std::move(message));
        return false;
    }

    // Places a value into the current container (or as the root); returns
    // the slot and its source node.
    std::pair<Json*, SourceNode*> Place(Json value) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return {&root_, &root_source_};
        }
        Frame& frame = frames_.back();
        frame.source->children.emplace_back();
        if (frame.value->is_object()) {
            // Keys are already known to be unique: append without the map's linear look-up.
            auto& members = frame.value->get_ref<Json::object_t&>();
            using Members = Json::object_t::Container;
            members.Members::emplace_back(std::move(pending_key_), std::move(value));
            return {&members.back().second, &frame.source->children.back()};
        }
        frame.value->push_back(std::move(value));
        return {&frame.value->back(), &frame.source->children.back()};
    }

    bool Add(Json value) {
        auto [slot, source] = Place(std::move(value));
        (void)slot;
        source->end_offset = consumed_;
        return true;
    }

    // The lexer reads one character past a number before it reports it.
    bool AddNumber(Json value) {
        auto [slot, source] = Place(std::move(value));
        (void)slot;
        const std::string_view text = doc_.Text();
        const bool read_past = consumed_ > 0 && consumed_ <= text.size() &&
                               (text[consumed_ - 1] < '0' || text[consumed_ - 1] > '9');
        source->end_offset = read_past ? consumed_ - 1 : consumed_;
        return true;
    }

    bool Open(Json container) {
        if (frames_.size() >= Document::kMaxDepth) {
            return Refuse("nesting deeper than " + std::to_string(Document::kMaxDepth) + " levels " +
                          doc_.Where(consumed_));
        }
        auto [slot, source] = Place(std::move(container));
        frames_.push_back({slot, source, {}});
        return true;
    }

    bool Close() {
        frames_.back().source->end_offset = consumed_;
        frames_.pop_back();
        return true;
    }

    Json& root_;
    SourceNode& root_source_;
    const std::size_t& consumed_;
    const Document& doc_;
    std::vector<Frame> frames_;
    std::string pending_key_;
};

std::string Describe(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null: return "null";
        case Json::value_t::boolean: return std::string("boolean `") + (value.get<bool>() ? "true" : "false") + "`";
        case Json::value_t::number_integer: return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
        case Json::value_t::number_unsigned: return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
        case Json::value_t::number_float: return "floating point `" + value.dump() + "`";
        case Json::value_t::string: return "string " + value.dump();
        case Json::value_t::array: return "array";
        case Json::value_t::object: return "object";
        default: return "value";
    }
}

std::unexpected<Error> WrongType(const Node& node, std::string_view key, std::string_view expected) {
    return Fail("invalid type: " + Describe(*node.value) + ", expected " + std::string(expected) + " for `" +
                std::string(key) + "` " + node.Where());
}

template <class T>
Result<T> ReadInteger(const Node& node, std::string_view key, std::string_view name) {
    const Json& value = *node.value;
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(number);
    } else if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
            (number < 0 || static_cast<std::uint64_t>(number) <= std::numeric_limits<T>::max())) {
            return static_cast<T>(number);
        }
    } else {
        return WrongType(node, key, name);
    }
    return Fail("invalid value: " + Describe(value) + ", expected " + std::string(name) + " for `" +
                std::string(key) + "` " + node.Where());
}

}  // namespace

std::string Node::Where() const { return document->Where(source->end_offset); }

std::string Document::Where(std::size_t offset) const {
    std::size_t line = 1;
    std::size_t column = 0;
    for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
        if (text_[i] == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
    }
    return "at line " + std::to_string(line) + ", column " + std::to_string(column);
}

Result<Document> Document::Parse(std::string_view text) {
    // The parser would skip a leading byte-order mark; the text must be the value alone.
    if (text.starts_with("\xEF\xBB\xBF")) {
        return Fail("parse error at line 1, column 1: syntax error while parsing value - byte-order mark before "
                    "the value");
    }
    Document doc;
    doc.text_ = text;
    // The parser takes a NUL byte for the end of the input and would ignore
    // whatever follows it; JSON text holds none (not even inside a string).
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        return Fail("parse error " + doc.Where(nul + 1) + ": syntax error while parsing value - NUL byte in the text");
    }
    doc.source_ = std::make_unique<SourceNode>();
    std::size_t consumed = 0;
    StrictBuilder builder(doc.value_, *doc.source_, consumed, doc);
    const char* begin = text.data();
    CountingIterator first(begin, &consumed, begin);
    CountingIterator last(begin + text.size(), &consumed, begin);
    const bool ok = Json::sax_parse(first, last, &builder, nlohmann::detail::input_format_t::json, true);
    if (!ok) return Fail(builder.error ? *builder.error : Error("malformed JSON"));
    return doc;
}

Result<std::string> ReadString(const Node& node, std::string_view key) {
    if (!node.value->is_string()) return WrongType(node, key, "a string");
    return node.value->get<std::string>();
}

Result<bool> ReadBool(const Node& node, std::string_view key) {
    if (!node.value->is_boolean()) return WrongType(node, key, "a boolean");
    return node.value->get<bool>();
}

Result<std::uint32_t> ReadU32(const Node& node, std::string_view key) {
    return ReadInteger<std::uint32_t>(node, key, "a whole number from 0 to 4294967295");
}
Result<std::uint64_t> ReadU64(const Node& node, std::string_view key) {
    return ReadInteger<std::uint64_t>(node, key, "a whole number from 0 to 18446744073709551615");
}
Result<std::int32_t> ReadI32(const Node& node, std::string_view key) {
    return ReadInteger<std::int32_t>(node, key, "a whole number from -2147483648 to 2147483647");
}

namespace {

std::vector<Node> Elements(const Node& node) {
    std::vector<Node> elements;
    elements.reserve(node.value->size());
    for (std::size_t i = 0; i < node.value->size(); ++i) {
        elements.push_back(Node{&(*node.value)[i], &node.source->children[i], node.document});
    }
    return elements;
}

}  // namespace

Result<std::vector<std::string>> ReadStringArray(const Node& node, std::string_view key) {
    if (!node.value->is_array()) return WrongType(node, key, "an array of strings");
    std::vector<std::string> items;
    items.reserve(node.value->size());
    for (const Node& element : Elements(node)) {
        auto item = ReadString(element, key);
        if (!item) return std::unexpected(std::move(item.error()));
        items.push_back(std::move(*item));
    }
    return items;
}

Result<std::vector<Node>> ReadArray(const Node& node, std::string_view key) {
    if (!node.value->is_array()) return WrongType(node, key, "an array");
    return Elements(node);
}

Result<ObjectReader> ObjectReader::Open(const Node& node, std::string_view what) {
    if (!node.value->is_object()) {
        return Fail("invalid type: " + Describe(*node.value) + ", expected " + std::string(what) + " " +
                    node.Where());
    }
    return ObjectReader(node);
}

std::optional<Node> ObjectReader::TakeIfPresent(std::string_view key) {
    std::size_t index = 0;
    for (auto it = node_.value->begin(); it != node_.value->end(); ++it, ++index) {
        if (it.key() == key) {
            taken_[index] = true;
            return Node{&it.value(), &node_.source->children[index], node_.document};
        }
    }
    return std::nullopt;
}

Result<Node> ObjectReader::Take(std::string_view key) {
    if (auto node = TakeIfPresent(key)) return *node;
    return Fail("missing field `" + std::string(key) + "` " + node_.Where());
}

Result<void> ObjectReader::RefuseUnknown() const {
    std::size_t index = 0;
    for (auto it = node_.value->begin(); it != node_.value->end(); ++it, ++index) {
        if (!taken_[index]) {
            const Node member{&it.value(), &node_.source->children[index], node_.document};
            return Fail("unknown field `" + it.key() + "` " + member.Where());
        }
    }
    return {};
}

Result<std::string> WriteCompact(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception& ex) {
        return Fail(StripExceptionPrefix(ex.what()));
    }
}

Result<std::string> WriteIndented(const Json& value) {
    try {
        return value.dump(2, ' ', false, Json::error_handler_t::strict) + "\n";
    } catch (const Json::exception& ex) {
        return Fail(StripExceptionPrefix(ex.what()));
    }
}

namespace {

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0.
std::size_t SequenceLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string MessageText(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = SequenceLength(bytes);
        if (length == 0) {
            const auto bad = static_cast<unsigned char>(bytes.front());
            text += {'\\', 'x', kDigits[bad >> 4], kDigits[bad & 0xF]};
            bytes.remove_prefix(1);
        } else {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return text;
}

}  // namespace telvo::json
