// Imports as the import statement makes them: through builtins.__import__
// (so a host's import hook sees them), with this module's namespace as the
// globals, so that a relative import (`level` leading dots) is relative to
// this module's package.
#pragma once

#include <initializer_list>
#include <vector>

#include "runtime/ref.hpp"

namespace pic {

// import <dotted>: the top-level package, which the statement binds.
Object import_package(const char* dotted);

// import <dotted>, then the module <dotted> itself (as `importlib.import_module`).
Object import_module(const char* dotted);

// from <module> import <names...>: for each name the module's attribute, else
// a submodule of that name already imported; ImportError when neither.
std::vector<Object> import_from(const char* module, std::initializer_list<const char*> names, int level = 0);

// from <module> import <name>
inline Object import_from(const char* module, const char* name, int level = 0) {
    return std::move(import_from(module, {name}, level).front());
}

}  // namespace pic
