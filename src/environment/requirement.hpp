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
Object parse_requirement(const Object& self, const Object& req);

// parse_requirement over the strings of one document, one after another. The
// parser's proof is looked at again only after something that may have run
// Python code, since nothing else can undo it: the first string, a string
// the native road left to the library or that was logged as unparsable, or
// whatever the caller reports through disturbed().
class RequirementPass {
public:
    Object parse(const Object& req);
    // No Python code ran since the last parse() began (so nothing was rebound).
    bool quiet() const { return quiet_; }
    void disturbed() { quiet_ = false; }

private:
    bool quiet_ = false;
};

// The extra named by the first `extra == '<name>'` of `req`, or a null Object.
// Only strings containing "extra ==" are searched; the name is taken as written.
Object declared_extra(const Object& req);

}  // namespace pic::environment
