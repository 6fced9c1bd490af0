#include "finder/finder.hpp"

#include "runtime/globals.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

Object new_finder(const Object& index_url) {
    Object index_urls = new_list();
    append(index_urls, index_url);
    return global("PackageFinder"_id)("index_urls"_kw = index_urls);
}

void never_prompt(const Object& finder) {
    // unearth makes the session on first use; every finder road uses it.
    Object session = finder.optional_attr("session"_id);
    if (!session || session.is_none()) return;
    Object auth = session.optional_attr("auth"_id);
    if (!auth || auth.is_none() || !auth.optional_attr("prompting"_id)) return;
    auth.set_attr("prompting"_id, boolean(false));
}

void release_session(const Object& finder) {
    // unearth makes the session on first use: look at the slot first, so a
    // finder that never reached the index does not make one just to close it.
    Object session = finder.optional_attr("_session"_id);
    if (!session) session = finder.optional_attr("session"_id);
    if (!session || session.is_none()) return;
    Object close = session.optional_attr("close"_id);
    if (!close) return;
    close();
    import_module("atexit").attr("unregister"_id)(close);
}

}  // namespace pic::finder
