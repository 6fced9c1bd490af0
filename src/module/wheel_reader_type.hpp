// quorvel_master._native.WheelMetadataReader: the sans-I/O reader of wheel
// metadata (finder/wheel_reader.hpp) as a Python object, for the event
// loop's driver in quorvel_master/indexdata/wheel_metadata.py. One method
// call at a time; its limits and the redirect rule ride along as class
// attributes and a static method, so that the driver says none of them again.
#pragma once

#include "runtime/ref.hpp"

namespace pic::module {

// Adds the type to `module`; -1 with an error set on failure.
int add_wheel_reader_type(PyObject* module);

}  // namespace pic::module
