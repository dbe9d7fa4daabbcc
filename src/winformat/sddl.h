#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::winformat {

// Security descriptors as SDDL text, for the parts this system writes and
// reads: "O:<sid>G:<sid>D:<flags><aces>S:<flags><aces>", each part at most
// once and in any order when read.
//
// - Flags of D: and S: are P (protected), AI (auto-inherited) and AR
//   (auto-inherit requested); "D:NO_ACCESS_CONTROL" is a null DACL.
// - An ACE is "(type;flags;rights;object guid;inherited object guid;sid)":
//   types A, D, OA, OD (DACL), AU and ML (SACL); flags OI CI NP IO ID SA FA;
//   rights as "0x" and up to eight hexadecimal digits, or as a set of letters
//   (the object-specific CC DC LC SW RP WP DT LO CR, SD RC WD WO, AS MA, GA
//   GX GW GR, the whole-mask FA FR FW FX, and NW NR NX for a mandatory label);
//   GUIDs (object ACEs only) as 8-4-4-4-12 hexadecimal digits.
// - SIDs as "S-1-..." or an alias: SY BA BU BG AU WD CO CG OW AC AN IU LS NS
//   PS, and the integrity levels LW ME MP HI SI.
// Everything else that SDDL can say (conditional ACEs, resource attributes,
// other aliases, spaces, decimal rights) is refused.
//
// The text this writer gives is canonical: parts in the order O G D S; flags
// in the order above; rights as one whole-mask letter (FA FR FW FX) when the
// mask is exactly that, else as the letters above in their listed order (the
// order Windows writes them in) when they cover every bit, else as "0x" and
// lower-case hex;
// a SID by its alias when it has one. Reading it back gives the same
// descriptor, with each ACL fitted to its entries (revision 4 when it holds
// an object ACE, else 2).
inline constexpr std::size_t kMaxSddlLength = 256 * 1024;

Result<SecurityDescriptor> ParseSddl(std::string_view text);

// Fails for what SDDL cannot carry: control bits other than those of the
// flags above, resource-manager control, ACE types outside the list, and
// ACEs with application data.
Result<std::string> WriteSddl(const SecurityDescriptor& descriptor);

// A SID as an SDDL alias or "S-1-..." string, and back.
Result<Sid> ParseSddlSid(std::string_view text);
std::string WriteSddlSid(const Sid& sid);

}  // namespace telvo::winformat
