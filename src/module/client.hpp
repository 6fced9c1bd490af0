// The client object and its shared HTTP session.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::client {

Object init(Object self, Object settings_manager);
Task<Object> get_session(const Object& self);
Task<Object> close(const Object& self);

}  // namespace pic::client
