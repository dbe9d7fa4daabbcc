#pragma once

#include "winformat/acl.h"

namespace telvo::winformat {

// Whether a DACL is in canonical order as far as its bytes tell: explicit ACEs
// before inherited ones, and among the explicit ones every deny before every
// allow. Inherited ACEs are ordered by generation, which the bytes do not
// record, so their order is not judged.
bool IsCanonicalDacl(const Acl& dacl);

}  // namespace telvo::winformat
