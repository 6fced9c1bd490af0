#include "finder/finder.hpp"

#include "runtime/globals.hpp"

namespace pic::finder {

Object new_finder(const Object& index_url) {
    Object index_urls = new_list();
    append(index_urls, index_url);
    return call_kw(global("PackageFinder"_id), {}, {{"index_urls"_id, index_urls.get()}});
}

void never_prompt(const Object& finder) {
    // unearth makes the session on first use; every finder road uses it.
    Object session = optional_attr(finder, "session"_id);
    if (!session || session.is_none()) return;
    Object auth = optional_attr(session, "auth"_id);
    if (!auth || auth.is_none() || !optional_attr(auth, "prompting"_id)) return;
    auth.set_attr("prompting"_id, boolean(false));
}

void release_session(const Object& finder) {
    // unearth makes the session on first use: look at the slot first, so a
    // finder that never reached the index does not make one just to close it.
    Object session = optional_attr(finder, "_session"_id);
    if (!session) session = optional_attr(finder, "session"_id);
    if (!session || session.is_none()) return;
    Object close = optional_attr(session, "close"_id);
    if (!close) return;
    close();
    static PyObject* const atexit = PyImport_ImportModule("atexit");
    if (!atexit) throw_error();
    Object::borrow(atexit).attr("unregister"_id)(close);
}

}  // namespace pic::finder
