#include "environment/distributions.hpp"

#include "runtime/globals.hpp"

namespace pic::environment {

namespace {

// getattr(sys, "stdlib_module_names", []): older interpreters lack it.
Object stdlib_module_names(const Object& sys) {
    try {
        return sys.attr("stdlib_module_names"_id);
    } catch (const PyError& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return new_list();
    }
}

}  // namespace

// Built in a local dict and stored only when complete: a failure part-way
// leaves the cache unbuilt, so the next call tries again instead of answering
// from a partial table.
Object get_current_distributions(Object self) {
    if (!self.attr("_distributions_cache"_id).is_none()) return self.attr("_distributions_cache"_id);

    Object table = new_dict();
    Object found = global("importlib"_id).attr("metadata"_id).attr("distributions"_id)();
    for (Object dist : iterate(found)) {
        Object name = self.call_method("_normalize_name"_id, dist.attr("metadata"_id).item("Name"_id));
        table.set_item(name, dist);
    }

    Object stdlib = stdlib_module_names(global("sys"_id));
    Object version_words = global("sys"_id).attr("version"_id).call_method("split"_id);
    Object sys_version = Object::steal(PySequence_GetItem(version_words.get(), 0));
    for (Object mod : iterate(stdlib)) {
        Object norm_name = self.call_method("_normalize_name"_id, mod);
        if (check(PyDict_Contains(table.get(), norm_name.get()))) continue;
        table.set_item(norm_name, global("_dummy_dist"_id)(mod, sys_version));
    }

    self.set_attr("_distributions_cache"_id, table);
    return self.attr("_distributions_cache"_id);
}

Object clear_distributions_cache(Object self) {
    self.set_attr("_distributions_cache"_id, Object::none());
    return Object::none();
}

}  // namespace pic::environment
