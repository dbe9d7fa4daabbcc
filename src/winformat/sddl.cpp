#include "winformat/sddl.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <vector>

#include "common/try.h"
#include "winformat/mandatory_label.h"

namespace telvo::winformat {

namespace {

struct Named {
    std::string_view letters;
    std::uint32_t value;
};

// The SDDL right letters, in the order Windows composes them.
constexpr std::array kRightLetters{
    Named{"CC", 0x00000001}, Named{"DC", 0x00000002}, Named{"LC", 0x00000004}, Named{"SW", 0x00000008},
    Named{"RP", 0x00000010}, Named{"WP", 0x00000020}, Named{"DT", 0x00000040}, Named{"LO", 0x00000080},
    Named{"CR", 0x00000100}, Named{"SD", 0x00010000}, Named{"RC", 0x00020000}, Named{"WD", 0x00040000},
    Named{"WO", 0x00080000}, Named{"AS", 0x01000000}, Named{"MA", 0x02000000}, Named{"GA", 0x10000000},
    Named{"GX", 0x20000000}, Named{"GW", 0x40000000}, Named{"GR", 0x80000000},
};
// Letters that stand for a whole mask and are written only for exactly it.
constexpr std::array kWholeMaskLetters{
    Named{"FA", 0x001F01FF}, Named{"FR", 0x00120089}, Named{"FW", 0x00120116}, Named{"FX", 0x001200A0},
};
// The policy letters of a mandatory-label ACE.
constexpr std::array kLabelLetters{
    Named{"NW", mandatory_policy::kNoWriteUp}, Named{"NR", mandatory_policy::kNoReadUp},
    Named{"NX", mandatory_policy::kNoExecuteUp}};

constexpr std::array kAceFlagLetters{
    Named{"OI", ace_flag::kObjectInherit},       Named{"CI", ace_flag::kContainerInherit},
    Named{"NP", ace_flag::kNoPropagateInherit},  Named{"IO", ace_flag::kInheritOnly},
    Named{"ID", ace_flag::kInherited},           Named{"SA", ace_flag::kSuccessfulAccess},
    Named{"FA", ace_flag::kFailedAccess},
};

constexpr std::array kAceTypes{
    Named{"A", ace_type::kAccessAllowed},         Named{"D", ace_type::kAccessDenied},
    Named{"OA", ace_type::kAccessAllowedObject},  Named{"OD", ace_type::kAccessDeniedObject},
    Named{"AU", ace_type::kSystemAudit},          Named{"ML", ace_type::kSystemMandatoryLabel},
};

struct Alias {
    std::string_view letters;
    std::uint64_t authority;
    std::array<std::uint32_t, 2> subs;
    std::size_t count;
};

constexpr std::array kSidAliases{
    Alias{"SY", sid_authority::kNt, {18}, 1},         Alias{"BA", sid_authority::kNt, {32, 544}, 2},
    Alias{"BU", sid_authority::kNt, {32, 545}, 2},    Alias{"BG", sid_authority::kNt, {32, 546}, 2},
    Alias{"AU", sid_authority::kNt, {11}, 1},         Alias{"WD", sid_authority::kWorld, {0}, 1},
    Alias{"CO", sid_authority::kCreator, {0}, 1},     Alias{"CG", sid_authority::kCreator, {1}, 1},
    Alias{"OW", sid_authority::kCreator, {4}, 1},     Alias{"AC", sid_authority::kAppPackage, {2, 1}, 2},
    Alias{"AN", sid_authority::kNt, {7}, 1},          Alias{"IU", sid_authority::kNt, {4}, 1},
    Alias{"LS", sid_authority::kNt, {19}, 1},         Alias{"NS", sid_authority::kNt, {20}, 1},
    Alias{"PS", sid_authority::kNt, {10}, 1},
    Alias{"LW", sid_authority::kMandatoryLabel, {integrity_rid::kLow}, 1},
    Alias{"ME", sid_authority::kMandatoryLabel, {integrity_rid::kMedium}, 1},
    Alias{"MP", sid_authority::kMandatoryLabel, {integrity_rid::kMediumPlus}, 1},
    Alias{"HI", sid_authority::kMandatoryLabel, {integrity_rid::kHigh}, 1},
    Alias{"SI", sid_authority::kMandatoryLabel, {integrity_rid::kSystem}, 1},
};

Sid AliasSid(const Alias& alias) {
    return Sid::Make(alias.authority, std::span<const std::uint32_t>(alias.subs.data(), alias.count));
}

std::string Quoted(std::string_view text) {
    std::string quoted(1, '"');
    quoted.append(text);
    quoted.push_back('"');
    return quoted;
}

// Splits `text` into consecutive two-letter names found in `table`, OR-ing their values.
template <std::size_t N>
std::optional<std::uint32_t> LetterSet(std::string_view text, const std::array<Named, N>& table) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const auto found = std::ranges::find(table, text.substr(at, 2), &Named::letters);
        if (found == table.end()) return std::nullopt;
        value |= found->value;
    }
    return value;
}

Result<std::uint32_t> ParseRights(std::string_view text, bool label) {
    if (text.starts_with("0x")) {
        const std::string_view digits = text.substr(2);
        std::uint32_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (digits.empty() || digits.size() > 8 || error != std::errc() || end != digits.data() + digits.size()) {
            return Fail("bad access mask " + Quoted(text));
        }
        return value;
    }
    if (label) {
        if (auto policy = LetterSet(text, kLabelLetters)) return *policy;
    } else {
        const auto whole = std::ranges::find(kWholeMaskLetters, text, &Named::letters);
        if (whole != kWholeMaskLetters.end()) return whole->value;
        if (auto rights = LetterSet(text, kRightLetters)) return *rights;
    }
    return Fail("bad access rights " + Quoted(text));
}

std::string Hex(std::uint32_t value) {
    std::array<char, 8> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16).ptr;
    return "0x" + std::string(digits.data(), end);
}

std::string WriteRights(std::uint32_t mask, bool label) {
    if (label) {
        if ((mask & ~mandatory_policy::kValidMask) != 0) return Hex(mask);
        std::string out;
        for (const auto& letter : kLabelLetters) {
            if (mask & letter.value) out += letter.letters;
        }
        return out.empty() ? Hex(mask) : out;
    }
    for (const auto& whole : kWholeMaskLetters) {
        if (mask == whole.value) return std::string(whole.letters);
    }
    std::string out;
    std::uint32_t covered = 0;
    for (const auto& letter : kRightLetters) {
        if (mask & letter.value) {
            out += letter.letters;
            covered |= letter.value;
        }
    }
    return (covered == mask && mask != 0) ? out : Hex(mask);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 8-4-4-4-12 hexadecimal digits; the first three groups are stored little-endian.
Result<GuidBytes> ParseGuid(std::string_view text) {
    constexpr std::array<std::size_t, 5> kGroups{8, 4, 4, 4, 12};
    std::vector<std::uint8_t> digits;
    std::size_t at = 0;
    for (std::size_t group = 0; group < kGroups.size(); ++group) {
        if (group > 0) {
            if (at >= text.size() || text[at] != '-') return Fail("bad GUID " + Quoted(text));
            ++at;
        }
        for (std::size_t i = 0; i < kGroups[group]; i += 2, at += 2) {
            if (at + 1 >= text.size() || HexDigit(text[at]) < 0 || HexDigit(text[at + 1]) < 0) {
                return Fail("bad GUID " + Quoted(text));
            }
            digits.push_back(static_cast<std::uint8_t>(HexDigit(text[at]) * 16 + HexDigit(text[at + 1])));
        }
    }
    if (at != text.size()) return Fail("bad GUID " + Quoted(text));
    GuidBytes guid{};
    constexpr std::array<std::size_t, 16> kOrder{3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < guid.size(); ++i) guid[i] = digits[kOrder[i]];
    return guid;
}

std::string WriteGuid(const GuidBytes& guid) {
    constexpr std::array<std::size_t, 16> kOrder{3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < kOrder.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        const std::uint8_t byte = guid[kOrder[i]];
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0xF];
    }
    return out;
}

std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == ';') {
            fields.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    return fields;
}

Result<Ace> ParseAce(std::string_view text, bool sacl) {
    const auto fields = SplitFields(text);
    if (fields.size() != 6) return Fail("ACE " + Quoted(text) + " does not have six fields");
    const auto type = std::ranges::find(kAceTypes, fields[0], &Named::letters);
    if (type == kAceTypes.end()) return Fail("unknown ACE type " + Quoted(fields[0]));
    const auto kind = static_cast<std::uint8_t>(type->value);
    const bool system = kind == ace_type::kSystemAudit || kind == ace_type::kSystemMandatoryLabel;
    if (system != sacl) return Fail("ACE type " + Quoted(fields[0]) + " does not belong in " + (sacl ? "S:" : "D:"));
    std::uint32_t flags = 0;
    if (!fields[1].empty()) {
        auto parsed = LetterSet(fields[1], kAceFlagLetters);
        if (!parsed) return Fail("bad ACE flags " + Quoted(fields[1]));
        flags = *parsed;
    }
    TELVO_TRY_ASSIGN(const std::uint32_t mask, ParseRights(fields[2], kind == ace_type::kSystemMandatoryLabel));
    TELVO_TRY_ASSIGN(Sid sid, ParseSddlSid(fields[5]));
    const auto ace_flags = static_cast<std::uint8_t>(flags);
    if (FormOfAceType(kind) != AceForm::object) {
        if (!fields[3].empty() || !fields[4].empty()) return Fail("ACE " + Quoted(text) + " carries a GUID");
        return Ace::Basic(kind, ace_flags, mask, std::move(sid));
    }
    ObjectAceBody body{mask, std::nullopt, std::nullopt, std::move(sid), {}};
    if (!fields[3].empty()) {
        TELVO_TRY_ASSIGN(body.object_type, ParseGuid(fields[3]));
    }
    if (!fields[4].empty()) {
        TELVO_TRY_ASSIGN(body.inherited_object_type, ParseGuid(fields[4]));
    }
    return Ace::Make(kind, ace_flags, std::move(body));
}

// "<flags>(ace)(ace)..." of a D: or S: part.
Result<AclSlot> ParseAclPart(std::string_view text, bool sacl, std::uint16_t& control) {
    if (!sacl && text == "NO_ACCESS_CONTROL") return AclSlot::Null();
    const std::uint16_t protected_bit = sacl ? sd_control::kSaclProtected : sd_control::kDaclProtected;
    const std::uint16_t inherited_bit = sacl ? sd_control::kSaclAutoInherited : sd_control::kDaclAutoInherited;
    const std::uint16_t requested_bit = sacl ? sd_control::kSaclAutoInheritReq : sd_control::kDaclAutoInheritReq;
    std::size_t at = 0;
    while (at < text.size() && text[at] != '(') {
        if (text[at] == 'P' && !(control & protected_bit)) {
            control |= protected_bit;
            at += 1;
        } else if (text.substr(at, 2) == "AI" && !(control & inherited_bit)) {
            control |= inherited_bit;
            at += 2;
        } else if (text.substr(at, 2) == "AR" && !(control & requested_bit)) {
            control |= requested_bit;
            at += 2;
        } else {
            return Fail("bad ACL flags " + Quoted(text.substr(0, text.find('('))));
        }
    }
    std::vector<Ace> aces;
    bool object = false;
    while (at < text.size()) {
        if (text[at] != '(') return Fail("text between ACEs at " + Quoted(text.substr(at)));
        const std::size_t close = text.find(')', at);
        if (close == std::string_view::npos) return Fail("unclosed ACE " + Quoted(text.substr(at)));
        TELVO_TRY_ASSIGN(Ace ace, ParseAce(text.substr(at + 1, close - at - 1), sacl));
        object = object || ace.form() == AceForm::object;
        aces.push_back(std::move(ace));
        at = close + 1;
    }
    auto acl = Acl::Fitted(object ? acl_revision::kRevisionDs : acl_revision::kRevision, std::move(aces));
    if (!acl) return Fail("the ACEs do not fit in one ACL");
    return AclSlot(std::move(*acl));
}

bool StartsPart(std::string_view text, std::size_t at) {
    return at + 1 < text.size() && text[at + 1] == ':' &&
           (text[at] == 'O' || text[at] == 'G' || text[at] == 'D' || text[at] == 'S');
}

Result<std::string> WriteAclPart(const AclSlot& slot, std::uint16_t control, bool sacl) {
    if (slot.is_null()) {
        if (sacl) return Fail("a null SACL has no SDDL form");
        return std::string("NO_ACCESS_CONTROL");
    }
    std::string out;
    if (control & (sacl ? sd_control::kSaclProtected : sd_control::kDaclProtected)) out += "P";
    if (control & (sacl ? sd_control::kSaclAutoInherited : sd_control::kDaclAutoInherited)) out += "AI";
    if (control & (sacl ? sd_control::kSaclAutoInheritReq : sd_control::kDaclAutoInheritReq)) out += "AR";
    for (const Ace& ace : slot.acl()->aces()) {
        const auto type = std::ranges::find(kAceTypes, ace.type(), &Named::value);
        const bool system = ace.type() == ace_type::kSystemAudit || ace.type() == ace_type::kSystemMandatoryLabel;
        if (type == kAceTypes.end() || system != sacl) return Fail("ACE type " + std::to_string(ace.type()) + " has no SDDL form here");
        if ((ace.flags() & ~(ace_flag::kValidInheritFlags | ace_flag::kSuccessfulAccess | ace_flag::kFailedAccess)) != 0) {
            return Fail("ACE flags " + std::to_string(ace.flags()) + " have no SDDL form");
        }
        std::string flags;
        for (const auto& letter : kAceFlagLetters) {
            if (ace.flags() & letter.value) flags += letter.letters;
        }
        std::string guids = ";";
        if (const auto* body = std::get_if<ObjectAceBody>(&ace.body())) {
            if (!body->application_data.empty()) return Fail("an ACE with application data has no SDDL form");
            guids = (body->object_type ? WriteGuid(*body->object_type) : "") + ";" +
                    (body->inherited_object_type ? WriteGuid(*body->inherited_object_type) : "");
        } else if (std::get<BasicAceBody>(ace.body()).application_data.size() != 0) {
            return Fail("an ACE with application data has no SDDL form");
        }
        out.push_back('(');
        out.append(type->letters).append(";").append(flags).append(";");
        out.append(WriteRights(*ace.mask(), ace.type() == ace_type::kSystemMandatoryLabel));
        out.append(";").append(guids).append(";").append(WriteSddlSid(*ace.sid()));
        out.push_back(')');
    }
    return out;
}

}  // namespace

Result<Sid> ParseSddlSid(std::string_view text) {
    const auto alias = std::ranges::find(kSidAliases, text, &Alias::letters);
    if (alias != kSidAliases.end()) return AliasSid(*alias);
    if (!text.starts_with("S-")) return Fail("unknown SID alias " + Quoted(text));
    auto sid = Sid::Parse(text);
    if (!sid) return Fail(std::move(sid.error()).Context("bad SID " + Quoted(text)));
    return sid;
}

std::string WriteSddlSid(const Sid& sid) {
    for (const auto& alias : kSidAliases) {
        if (AliasSid(alias) == sid) return std::string(alias.letters);
    }
    return sid.ToString();
}

Result<SecurityDescriptor> ParseSddl(std::string_view text) {
    if (text.size() > kMaxSddlLength) return Fail("SDDL text is longer than " + std::to_string(kMaxSddlLength) + " bytes");
    SecurityDescriptor descriptor;
    std::string seen;
    std::size_t at = 0;
    while (at < text.size()) {
        if (!StartsPart(text, at)) return Fail("SDDL text has no part at " + Quoted(text.substr(at)));
        const char part = text[at];
        if (seen.find(part) != std::string::npos) return Fail(std::string("SDDL part ") + part + ": appears twice");
        seen += part;
        // The part runs to the next "X:" outside an ACE.
        std::size_t end = at + 2;
        int depth = 0;
        while (end < text.size() && (depth > 0 || !StartsPart(text, end))) {
            if (text[end] == '(') ++depth;
            if (text[end] == ')') depth = std::max(depth - 1, 0);
            ++end;
        }
        const std::string_view value = text.substr(at + 2, end - at - 2);
        switch (part) {
            case 'O': {
                TELVO_TRY_ASSIGN(descriptor.owner, ParseSddlSid(value));
                break;
            }
            case 'G': {
                TELVO_TRY_ASSIGN(descriptor.group, ParseSddlSid(value));
                break;
            }
            case 'D': {
                TELVO_TRY_ASSIGN(descriptor.dacl, ParseAclPart(value, false, descriptor.control));
                break;
            }
            default: {
                TELVO_TRY_ASSIGN(descriptor.sacl, ParseAclPart(value, true, descriptor.control));
                break;
            }
        }
        at = end;
    }
    return descriptor;
}

Result<std::string> WriteSddl(const SecurityDescriptor& descriptor) {
    constexpr std::uint16_t kWritable =
        sd_control::kDaclPresent | sd_control::kSaclPresent | sd_control::kSelfRelative |
        sd_control::kDaclProtected | sd_control::kDaclAutoInherited | sd_control::kDaclAutoInheritReq |
        sd_control::kSaclProtected | sd_control::kSaclAutoInherited | sd_control::kSaclAutoInheritReq;
    if ((descriptor.control & ~kWritable) != 0) {
        return Fail("security descriptor control bits " + Hex32(descriptor.control) + " have no SDDL form");
    }
    std::string out;
    if (descriptor.owner) out += "O:" + WriteSddlSid(*descriptor.owner);
    if (descriptor.group) out += "G:" + WriteSddlSid(*descriptor.group);
    const std::uint16_t dacl_bits =
        sd_control::kDaclProtected | sd_control::kDaclAutoInherited | sd_control::kDaclAutoInheritReq;
    const std::uint16_t sacl_bits =
        sd_control::kSaclProtected | sd_control::kSaclAutoInherited | sd_control::kSaclAutoInheritReq;
    if (descriptor.dacl.present()) {
        TELVO_TRY_ASSIGN(const std::string dacl, WriteAclPart(descriptor.dacl, descriptor.control, false));
        if (descriptor.dacl.is_null() && (descriptor.control & dacl_bits)) {
            return Fail("a null DACL with inheritance flags has no SDDL form");
        }
        out += "D:" + dacl;
    } else if (descriptor.control & dacl_bits) {
        return Fail("DACL flags without a DACL have no SDDL form");
    }
    if (descriptor.sacl.present()) {
        TELVO_TRY_ASSIGN(const std::string sacl, WriteAclPart(descriptor.sacl, descriptor.control, true));
        out += "S:" + sacl;
    } else if (descriptor.control & sacl_bits) {
        return Fail("SACL flags without a SACL have no SDDL form");
    }
    if (descriptor.resource_manager_control != 0) return Fail("resource-manager control has no SDDL form");
    return out;
}

}  // namespace telvo::winformat
