// When a native stand-in may replace a library call. Each fast path in the
// module is exactly equivalent to one call into the standard library or into
// packaging, and only while that call is the genuine one: the module global
// (`re`, `Version`) must still be the object bound at import, and the function
// it reaches (`re.sub`, `re.match`, `re.search`, and `re._compile` behind them;
// `Version.__init__` and `Version.__lt__`) must be unchanged. Replacing any of
// them hands the work back to the library at the next call.
#pragma once

#include "runtime/ref.hpp"

namespace pic::fastpath {

// Records the genuine objects; called once by the module body after `re` and
// `Version` are bound. A failure leaves the fast paths off; it never fails the import.
void capture_originals();

enum class ReFunction { sub, match, search };

// The module global `re` is the standard library module and `re.<fn>` its own function.
bool stdlib_re(ReFunction fn);

// `cls` is packaging's own Version class, unchanged, with the grammar that
// fastpath::newest_first implements.
bool packaging_version(PyObject* cls);

// The module global `Version`, as packaging_version() judges it.
bool packaging_version_global();

}  // namespace pic::fastpath
