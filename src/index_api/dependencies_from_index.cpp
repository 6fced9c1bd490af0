#include "index_api/dependencies_from_index.hpp"

#include <charconv>
#include <vector>

#include "config/patterns.hpp"
#include "environment/requirement.hpp"
#include "index_api/json_api.hpp"
#include "index_api/roads.hpp"

namespace pic::index_api {

namespace {

// One record per requirement string the parser accepts, in document order.
// No handler here: a document of unexpected shape raises to the caller.
Object dependencies_in(const Object& self, const Object& metadata, const Object& package_name,
                       const Object& version) {
    Object info = metadata.call_method("get"_id, "info"_id, new_dict());
    Object requires_dist = info.call_method("get"_id, "requires_dist"_id, new_list());
    if (!requires_dist.truthy()) return new_list();
    static const Impl own_parser = body<environment::parse_requirement>();
    std::vector<Object> kept;  // the list is made whole at the end: one allocation, no resizing
    // A list or a tuple is walked without running Python code.
    const bool plain = PyList_CheckExact(requires_dist.get()) || PyTuple_CheckExact(requires_dist.get());
    if (plain) kept.reserve(std::size_t(Py_SIZE(requires_dist.get())));
    environment::RequirementPass pass;
    MethodLookup parse;
    bool own = false;
    auto each = [&](const Object& req) {
        // self._parse_requirement(req): looked up again whenever Python code
        // may have run since, which alone could rebind it; this module's own
        // parser is run in place.
        if (!pass.quiet()) {
            parse = lookup_method(self, "_parse_requirement"_id);
            own = parse.is_own(own_parser);
        }
        Object dep;
        if (own && PyUnicode_CheckExact(req.get())) {
            dep = pass.parse(req);
        } else {
            dep = parse.call(self, req);
            pass.disturbed();
        }
        // Our parser's answers are a non-empty dict or None.
        if (PyDict_CheckExact(dep.get()) ? PyDict_GET_SIZE(dep.get()) != 0 : !dep.is_none() && dep.truthy())
            kept.push_back(std::move(dep));
    };
    if (PyList_CheckExact(requires_dist.get())) {
        // As list iteration does: the length read at every step, each item held while used.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(requires_dist.get()); ++i)
            each(Object::borrow(PyList_GET_ITEM(requires_dist.get(), i)));
    } else if (PyTuple_CheckExact(requires_dist.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(requires_dist.get()); ++i)
            each(Object::borrow(PyTuple_GET_ITEM(requires_dist.get(), i)));
    } else {
        for (Object req : iterate(requires_dist)) {
            pass.disturbed();  // the iterator may have run Python code
            each(req);
        }
    }
    Object dependencies = Object::steal(PyList_New(Py_ssize_t(kept.size())));
    for (std::size_t i = 0; i < kept.size(); ++i) PyList_SET_ITEM(dependencies.get(), Py_ssize_t(i), kept[i].release());
    // The count written here: %zd would go through the C library's printf.
    char count[24];
    *std::to_chars(count, count + sizeof count - 1, kept.size()).ptr = '\0';
    log_debug(format("Found %s dependencies for %U==%U", static_cast<const char*>(count), package_name.get(), version.get()));
    return dependencies;
}

}  // namespace

// Documents are cached per client by (lower-cased name, version), whatever the
// index: a later call for the same version is answered without a request.
Task<Object> get_dependencies_from_index(const Object& self, const Object& package_name, const Object& version,
                                         const Object& index_url) {
    Local cache_key = tuple(package_name.call_method("lower"_id), version);
    if (self.attr("_metadata_cache"_id).contains(cache_key)) {
        Object metadata = self.attr("_metadata_cache"_id).item(cache_key);
        co_return dependencies_in(self, metadata, package_name, version);
    }
    auto dependencies = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) -> Task<Object> {
            bool fetched = false;
            auto answer = co_await ask_json_api(
                self, package_name, index_url, kEmptyList,
                [&] { return config::fill_pattern(api_pattern, package_name, version); },
                [&](const Object& document) {
                    // Stored before the block exits, so a document that fails to read stays cached.
                    self.attr("_metadata_cache"_id).set_item(cache_key, document);
                    fetched = true;
                    return document;
                });
            if (!fetched) co_return answer;
            // Read outside the handlers: a document of unexpected shape reaches the caller.
            co_return dependencies_in(self, answer, package_name, version);
        },
        new_list,
        [&] {
            return requirements_via_finder(self, "_get_dependencies_via_unearth"_id, "dependencies", Returns::list,
                                           new_list, package_name, version, index_url);
        });
    co_return dependencies;
}

}  // namespace pic::index_api
