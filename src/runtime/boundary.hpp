// Where control returns to Python: the one place a C++ failure becomes the
// set error indicator. A PyError restores its own error; any other C++
// exception (bad_alloc, a logic error of ours) becomes MemoryError or
// SystemError, so that no C++ exception ever leaves a slot or a method and
// ends the process.
#pragma once

#include <exception>

#include "runtime/ref.hpp"

namespace pic {

// The error behind a caught C++ exception, as a Python error.
PyError python_error(std::exception_ptr failure);

// body() in a C API slot or method: its result, or `failed` with the error set.
template <class Body, class R>
R at_boundary(Body body, R failed) noexcept {
    try {
        return body();
    } catch (...) {
        python_error(std::current_exception()).restore();
        return failed;
    }
}

// A getter that gives None (a `getset` entry).
inline PyObject* none_getter(PyObject*, void*) { Py_RETURN_NONE; }

}  // namespace pic
