// Module globals and the module logger, read at every use so that replacing a
// global (tests, hosts) takes effect at once.
#pragma once

#include "runtime/ref.hpp"

namespace pic {

// The module's namespace; set once when the module body runs.
void set_module_namespace(PyObject* dict);
PyObject* module_namespace();

// `name` from the module namespace, like a global read in Python code.
Object global(PyObject* name);

enum class Level { debug, info, warning, error };

// logger.<level>(message), with the logger looked up now.
void log(Level level, const Object& message);
inline void log_debug(const Object& message) { log(Level::debug, message); }
inline void log_info(const Object& message) { log(Level::info, message); }
inline void log_warning(const Object& message) { log(Level::warning, message); }
inline void log_error(const Object& message) { log(Level::error, message); }

}  // namespace pic
