#include "module/client.hpp"

#include "runtime/globals.hpp"

namespace pic::client {

Object init(Object self, Object settings_manager) {
    self.set_attr("settings_manager"_id, settings_manager);
    self.set_attr("_session"_id, Object::none());
    self.set_attr("_metadata_cache"_id, new_dict());
    self.set_attr("_distributions_cache"_id, Object::none());
    return Object::none();
}

// Never suspends: concurrent tasks on one loop all get the one session.
Task<Object> get_session(const Object& self) {
    Object aiohttp = global("aiohttp"_id);
    if (aiohttp.is_none()) raise(PyExc_RuntimeError, "aiohttp not installed, cannot query package indexes");
    Object session = self.attr("_session"_id);
    if (session.is_none() || session.attr("closed"_id).truthy())
        self.set_attr("_session"_id, aiohttp.attr("ClientSession"_id)());
    co_return self.attr("_session"_id);
}

// The closed session stays referenced; the next _get_session replaces it.
Task<Object> close(const Object& self) {
    if (!self.attr("_session"_id).truthy()) co_return Object::none();
    if (self.attr("_session"_id).attr("closed"_id).truthy()) co_return Object::none();
    Object closing = self.attr("_session"_id).call_method("close"_id);  // no temporary holds the session
    Object closed = co_await py_await(std::move(closing));
    co_return Object::none();
}

}  // namespace pic::client
