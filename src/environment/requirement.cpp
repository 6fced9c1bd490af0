#include "environment/requirement.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "fastpath/paths.hpp"
#include "runtime/globals.hpp"

namespace pic::environment {

namespace {

Object marker_text(const Object& req, const fastpath::MarkerSplit& split) {
    return split.markers ? fastpath::substring(req.get(), *split.markers) : Object::borrow(""_id);
}

Object record(const fastpath::RequirementParts::Result& parts, const Object& markers) {
    return dict({{"name"_id, parts.name},
                 {"version_spec"_id, parts.version_spec},
                 {"extras"_id, parts.extras},
                 {"markers"_id, markers}});
}

// Records of strings parsed before, while the parser's proof holds. A record
// is a pure function of the string's text on the native road, so a kept one
// is what parsing again would give; it is handed out as a copy with its own
// extras list, so that a caller changing its answer changes no other answer.
// Bounded: only strings of real requirements' length are kept, and the table
// starts afresh when full (a run asks a few thousand distinct strings).
//
// The strings of a cached document come back as the same objects, call after
// call: a small table by address answers them before the look-up by text. It
// holds its strings, so an address there is never another string's.
class Parsed {
public:
    static constexpr Py_ssize_t kEntries = 4096;
    static constexpr Py_ssize_t kLongest = 256;  // code points
    static constexpr std::size_t kRecent = 1024;

    // A copy of the record kept for `req`, or a null Object.
    Object find(PyObject* req) {
        Recent& recent = recent_[slot(req)];
        if (recent.text.get() == req) return copy(recent.kept);
        if (!table_) return {};
        PyObject* found = PyDict_GetItemWithError(table_.get(), req);  // borrowed
        if (!found) {
            if (PyErr_Occurred()) throw_error();
            return {};
        }
        // Owned from here: an allocation may collect, and a finaliser running
        // then may reach this table.
        Object kept = Object::borrow(found);
        remember(req, kept);
        return copy(kept);
    }

    // Keeps `made` for `req`; gives the caller its copy.
    Object keep(const Object& req, const Object& made, const Object& extras) {
        if (PyUnicode_GET_LENGTH(req.get()) > kLongest) return made;
        if (!table_) table_ = new_dict();
        if (PyDict_GET_SIZE(table_.get()) >= kEntries) PyDict_Clear(table_.get());
        Object kept = tuple(made, extras);
        check(PyDict_SetItem(table_.get(), req.get(), kept.get()));
        remember(req.get(), kept);
        return copy(kept);
    }

    // The proof no longer holds: nothing parsed under it is handed out again.
    void forget() {
        if (!table_ || !PyDict_GET_SIZE(table_.get())) return;
        PyDict_Clear(table_.get());
        for (Recent& recent : recent_) recent = Recent();
    }

private:
    struct Recent {
        Object text, kept;
    };
    static std::size_t slot(PyObject* text) { return (reinterpret_cast<std::uintptr_t>(text) >> 4) % kRecent; }
    void remember(PyObject* text, const Object& kept) { recent_[slot(text)] = Recent{Object::borrow(text), kept}; }

    // (record, its extras list): the list at hand without a look-up.
    static Object copy(const Object& kept) {
        Object fresh = Object::steal(PyDict_Copy(PyTuple_GET_ITEM(kept.get(), 0)));
        PyObject* extras = PyTuple_GET_ITEM(kept.get(), 1);
        Py_ssize_t count = PyList_GET_SIZE(extras);
        Object extras_copy = Object::steal(count ? PyList_GetSlice(extras, 0, count) : PyList_New(0));
        check(PyDict_SetItem(fresh.get(), "extras"_id, extras_copy.get()));
        return fresh;
    }

    Object table_;  // {str: (record, extras)}, made at the first record kept; lives as long as the process
    std::array<Recent, kRecent> recent_;
};

Parsed& parsed() {
    static auto* table = new Parsed;  // never destroyed: the interpreter may be gone by then
    return *table;
}

}  // namespace

Object parse_requirement(Object, Object req) {
    using namespace fastpath;
    // The answer may be kept only when the native road gives it.
    bool native = PyUnicode_CheckExact(req.get()) && open(Paths::index_of<RequirementParts>());
    if (native) {
        if (Object kept = parsed().find(req.get())) return kept;
    } else {
        parsed().forget();
    }
    MarkerSplit split = split_markers(req.get());
    Object marker_part = marker_text(req, split);
    RequirementParts::Result parts = answer<RequirementParts>(req, split.requirement);
    if (!parts.name) {
        log_warning(format("Could not parse requirement: %U", req.get()));
        return Object::none();
    }
    Object made = record(parts, marker_part);
    return native ? parsed().keep(req, made, parts.extras) : made;
}

Object declared_extra(const Object& req) {
    if (!req.contains("extra =="_id)) return {};
    return fastpath::answer<fastpath::IndexExtra>(req);
}

}  // namespace pic::environment
