#include "finder/versions.hpp"

#include <vector>

#include "config/redact.hpp"
#include "finder/finder.hpp"
#include "runtime/globals.hpp"

namespace pic::finder {

namespace {

// `from <module_name> import <name>, ...` as the import statement does it:
// through builtins.__import__, a missing name being an ImportError.
std::vector<Object> import_from(PyObject* module_name, std::initializer_list<PyObject*> names) {
    PyObject* import = PyDict_GetItemWithError(PyEval_GetBuiltins(), "__import__"_id);
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    Object fromlist = Object::steal(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Object module = Object::borrow(import)(module_name, module_namespace(), Py_None, fromlist, integer(0));
    std::vector<Object> found;
    for (PyObject* name : names) {
        Object value = optional_attr(module, name);
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", name, module_name);
            throw_error();
        }
        found.push_back(std::move(value));
    }
    return found;
}

Object sorted_by_version(const Object& versions) {
    auto imported = import_from("packaging.version"_id, {"Version"_id, "InvalidVersion"_id});
    const Object& version_class = imported[0];
    const Object& invalid_version = imported[1];
    Object valid_versions = new_list();
    for (Object v : iterate(versions)) {
        try {
            append(valid_versions, tuple(version_class(v), v));
        } catch (const PyError& e) {
            if (!e.matches(invalid_version.get())) throw;
        }
    }
    return texts_newest_first(valid_versions);
}

}  // namespace

Object texts_newest_first(const Object& pairs) {
    // list.sort itself (not a C++ sort): the same comparisons, and far fewer of
    // them on the nearly ordered keys that indexes publish.
    // Set once under the GIL; no C++ static guard, which a second thread would
    // wait on while holding the GIL that the import may hand over.
    static PyObject* first_member = nullptr;
    if (!first_member) {
        Object getter = Object::steal(PyImport_ImportModule("operator")).attr("itemgetter"_id)(integer(0));
        if (!first_member) first_member = getter.release();
    }
    call_kw(pairs.attr("sort"_id), {}, {{"key"_id, first_member}, {"reverse"_id, Py_True}});
    Py_ssize_t n = PyList_GET_SIZE(pairs.get());
    Object texts = Object::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(texts.get(), i, Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 1)));
    return texts;
}

Object get_versions_via_unearth(Object, Object package_name, Object index_url) {
    try {
        Object packages = with_finder(index_url, [&](const Object& finder) {
            return Object::steal(PySequence_List(finder.call_method("find_all_packages"_id, package_name).get()));
        });
        // Several files of one version (wheel and sdist, platform wheels) give one entry.
        Object unique = new_set();
        for (Object package : iterate(packages))
            check(PySet_Add(unique.get(), Object::steal(PyObject_Str(package.attr("version"_id).get())).get()));
        Object versions = Object::steal(PySequence_List(unique.get()));
        try {
            return sorted_by_version(versions);
        } catch (const PyError& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            // Without packaging: plain descending text order, nothing dropped.
            call_kw(versions.attr("sort"_id), {}, {{"reverse"_id, Py_True}});
            return versions;
        }
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        log_error(format("Unearth _get_versions failed: %U", config::error_text(e).get()));
        return new_list();
    }
}

Object package_version_exists_via_unearth(Object, Object package_name, Object version, Object index_url) {
    try {
        Object requirement = format("%U==%U", package_name.get(), version.get());
        return with_finder(index_url, [&](const Object& finder) {
            Object result = finder.call_method("find_best_match"_id, requirement);
            return boolean(!result.is_none() && !result.attr("best"_id).is_none());
        });
    } catch (const PyError& e) {
        // A finder failure and a missing version give the same answer.
        if (!e.is_ordinary()) throw;
        return boolean(false);
    }
}

}  // namespace pic::finder
