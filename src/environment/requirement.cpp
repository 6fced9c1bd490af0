#include "environment/requirement.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fastpath/paths.hpp"
#include "runtime/compat.hpp"
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
// Bounded: only strings of real requirements' length are kept, in a table of
// sets of two slots chosen by the string's hash, a new string taking the slot
// of the set's less recently used one (a run asks a few thousand distinct
// strings). The strings of a cached document come back as the same objects,
// call after call: a slot holds the string it was last asked with, so
// comparing addresses answers them before the text.
class Parsed {
public:
    static constexpr std::size_t kSets = 2048;  // 4,096 records at most
    static constexpr Py_ssize_t kLongest = 256;  // code points

    // A copy of the record kept for `req` (an exact str), or a null Object.
    Object find(PyObject* req) {
        Py_hash_t hash = str_hash(req);
        Set& set = sets_[std::size_t(hash) % kSets];
        for (int i = 0; i < 2; ++i) {
            Slot& slot = set.slots[i];
            PyObject* text = slot.text.get();
            if (text == req || (text && slot.hash == hash && compat::str_equal(text, req))) {
                set.used_last = i;
                // The object asked last is the one compared by address next:
                // a document read again hands out its own strings again.
                if (text != req) Object old = std::exchange(slot.text, Object::borrow(req));
                // Owned from here: an allocation may collect, and a finaliser
                // running then may reach this table. The record holds its
                // extras list (it is never handed out, so never changed).
                Object record = slot.record;
                return copy(record.get(), slot.extras.get());
            }
        }
        return {};
    }

    // Keeps `made` for `req`; gives the caller its copy.
    Object keep(const Object& req, const Object& made, const Object& extras) {
        if (PyUnicode_GET_LENGTH(req.get()) > kLongest) return made;
        Py_hash_t hash = str_hash(req.get());
        Set& set = sets_[std::size_t(hash) % kSets];
        int i = !set.slots[0].text ? 0 : !set.slots[1].text ? 1 : 1 - set.used_last;
        set.used_last = i;
        Slot old = std::exchange(set.slots[i], Slot{req, made, extras, hash});
        any_ = true;
        return copy(made.get(), extras.get());
    }

    // The proof no longer holds: nothing parsed under it is handed out again.
    void forget() {
        if (!any_) return;
        any_ = false;
        for (Set& set : sets_)
            for (Slot& slot : set.slots) Slot old = std::exchange(slot, Slot());
    }

private:
    // The hash a str keeps once computed (a dict holding it computed it).
    static Py_hash_t str_hash(PyObject* text) {
        Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(text)->hash;
        if (hash == -1 && (hash = PyObject_Hash(text)) == -1) throw_error();
        return hash;
    }

    struct Slot {
        Object text, record, extras;  // extras: the record's list, at hand without a look-up
        Py_hash_t hash = 0;
    };
    struct Set {
        Slot slots[2];
        int used_last = 0;
    };

    // A new dict with the record's items and a new extras list; the strings
    // are shared, being immutable.
    static Object copy(PyObject* record, PyObject* extras) {
        Object fresh = Object::steal(PyDict_Copy(record));
        Py_ssize_t count = PyList_GET_SIZE(extras);
        PyObject* extras_copy = check(count ? PyList_GetSlice(extras, 0, count) : PyList_New(0));
        if (!compat::replace_copied_value(fresh.get(), kExtrasEntry, "extras"_id, extras, extras_copy)) {
            Object owned = Object::steal(extras_copy);
            check(PyDict_SetItem(fresh.get(), "extras"_id, owned.get()));
        }
        return fresh;
    }
    static constexpr Py_ssize_t kExtrasEntry = 2;  // the record's third key (record() above)

    std::array<Set, kSets> sets_;
    bool any_ = false;  // a slot was filled since the last forget()
};

Parsed* table = nullptr;  // never destroyed: the interpreter may be gone by then

Parsed& parsed() {
    if (!table) table = new Parsed;  // under the GIL
    return *table;
}

}  // namespace

namespace {

// The record of `req` made anew (or None, with a warning); `native`: an exact
// str, and the parser's proof holds. `quiet` is left true only when no Python
// code ran. Out of line: the answer from a kept record is the usual one.
[[gnu::noinline]] Object parse_anew(const Object& req, bool native, bool& quiet) {
    using namespace fastpath;
    quiet = native;
    if (!native) parsed().forget();
    MarkerSplit split = split_markers(req.get());
    Object marker_part = marker_text(req, split);
    RequirementParts::Result parts = answer<RequirementParts>(req, split.requirement);
    if (!parts.name) {
        quiet = false;
        log_warning(format("Could not parse requirement: %U", req.get()));
        return Object::none();
    }
    Object made = record(parts, marker_part);
    return native ? parsed().keep(req, made, parts.extras) : made;
}

bool native_road(const Object& req) {
    return PyUnicode_CheckExact(req.get()) && fastpath::open(fastpath::Paths::index_of<fastpath::RequirementParts>());
}

}  // namespace

Object parse_requirement(const Object&, const Object& req) {
    bool native = native_road(req);
    if (native)
        if (Object kept = parsed().find(req.get())) return kept;
    bool quiet = false;
    return parse_anew(req, native, quiet);
}

Object RequirementPass::parse(const Object& req) {
    // What the gate watches changes only by Python code running, so while
    // none ran since it was found open, it still is.
    bool native = quiet_ && PyUnicode_CheckExact(req.get()) ? true : native_road(req);
    if (native)
        if (Object kept = parsed().find(req.get())) {
            quiet_ = true;
            return kept;
        }
    return parse_anew(req, native, quiet_);
}

Object declared_extra(const Object& req) {
    if (!req.contains("extra =="_id)) return {};
    return fastpath::answer<fastpath::IndexExtra>(req);
}

}  // namespace pic::environment
