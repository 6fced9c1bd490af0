#include "runtime/boundary.hpp"

#include <new>
#include <stdexcept>

namespace pic {

PyError python_error(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const PyError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return PyError();
}

}  // namespace pic
