// Requirement strings: the shallow parser behind the dependency records, and
// the extra a requirement's marker is restricted to.
#pragma once

#include "runtime/ref.hpp"

namespace pic::environment {

// PackageIndexClient._parse_requirement: the record {"name", "version_spec",
// "extras", "markers"} of `req`, or None (with a warning) when no name leads it.
// A string parsed before on the native road is answered from a bounded table
// of kept records, as a fresh copy, while the parser's proof holds; the table
// is dropped as soon as a call finds the proof gone (fastpath/gate.hpp).
Object parse_requirement(Object self, Object req);

// The extra named by the first `extra == '<name>'` of `req`, or a null Object.
// Only strings containing "extra ==" are searched; the name is taken as written.
Object declared_extra(const Object& req);

}  // namespace pic::environment
