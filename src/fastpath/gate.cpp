#include "fastpath/gate.hpp"

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fastpath/pep440.hpp"
#include "fastpath/probes.hpp"
#include "fastpath/text.hpp"
#include "fastpath/watch.hpp"
#include "runtime/globals.hpp"

namespace pic::fastpath {

namespace {

// What one stand-in's proof rests on.
struct Proof {
    Object bound;  // the module global as probed; null while the stand-in is off
    Watch watch;
};

constexpr std::size_t kPaths = std::size_t(Path::release_order) + 1;
std::array<Proof, kPaths>* proofs = nullptr;  // kept for the life of the process, like the module

Object decode(std::string_view text) {
    return Object::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
}

// The same answer: the same type, and equal (item by item for lists and tuples).
bool same(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyTuple_CheckExact(a) || PyList_CheckExact(a)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i))) return false;
        return true;
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

bool same(const Object& a, const Object& b) { return same(a.get(), b.get()); }

Object span_or_none(PyObject* text, const std::optional<Span>& span) {
    return span ? substring(text, *span) : Object::none();
}

// group(1) of a match, or None.
Object first_group(const Object& match) { return match.is_none() ? match : match.call_method("group"_id, integer(1)); }

// --- the probes: each stand-in against its library call, the `re` function given -----------

bool names_agree(const Object& sub) {
    static PyObject* const pattern = intern(kNameSeparators);
    for (std::string_view probe : probes::kNames) {
        Object name = decode(probe);
        Object native = collapse_separators(lower(name.get()).get());
        if (!same(native, sub(pattern, "-"_id, name.call_method("lower"_id)))) return false;
    }
    return true;
}

bool urls_agree(const Object& sub) {
    static PyObject* const pattern = intern(kVersionSegment);
    static PyObject* const nothing = intern("");
    for (std::string_view probe : probes::kUrls) {
        Object url = decode(probe);
        if (!same(drop_version_segments(url.get()), sub(pattern, nothing, url))) return false;
    }
    return true;
}

bool requirements_agree(const Object& match) {
    static PyObject* const pattern = intern(kRequirement);
    for (std::string_view probe : probes::kRequirements) {
        Object text = decode(probe);
        PyObject* t = text.get();
        Object native = Object::none();
        if (auto m = match_requirement(t, {0, PyUnicode_GET_LENGTH(t)}))
            native = tuple(substring(t, m->name), span_or_none(t, m->extras), substring(t, m->rest));
        Object found = match(pattern, text);
        Object library = found.is_none() ? found : found.call_method("groups"_id);
        if (!same(native, library)) return false;
    }
    return true;
}

bool markers_agree(const Object& search) {
    static PyObject* const patterns[] = {intern(kExtraOnIndex), intern(kExtraInstalled)};
    for (std::string_view probe : probes::kMarkers) {
        Object text = decode(probe);
        Object native = span_or_none(text.get(), search_extra(text.get()));
        for (PyObject* pattern : patterns)
            if (!same(native, first_group(search(pattern, text)))) return false;
    }
    return true;
}

Object list_of(std::span<const std::string_view> texts) {
    Object list = new_list();
    for (std::string_view text : texts) append(list, decode(text));
    return list;
}

// The keys must be decided natively (`decides`), or may be left to the library.
bool orders_agree(const Object& version_class, const Object& keys, bool decides) {
    std::optional<Object> native = newest_first(keys);
    if (!native) return !decides;
    return same(*native, newest_first_by(version_class, keys));
}

bool releases_agree(const Object& version_class) {
    Object keys = list_of(probes::kVersions);
    if (!orders_agree(version_class, keys, true)) return false;
    check(PyList_Reverse(keys.get()));  // equal versions now meet in the other order
    if (!orders_agree(version_class, keys, true)) return false;
    for (const auto& pair : probes::kFoldedVersions)
        if (!orders_agree(version_class, list_of(pair), false)) return false;
    return true;
}

// --- what each proof watches ---------------------------------------------------------------

struct ReStandIn {
    Path path;
    const char* function;  // the function of `re` it stands in for
    bool (*agrees)(const Object& function);
};

constexpr ReStandIn kReStandIns[] = {
    {Path::normalize_name, "sub", names_agree},
    {Path::fill_pattern, "sub", urls_agree},
    {Path::parse_requirement, "match", requirements_agree},
    {Path::extra_marker, "search", markers_agree},
};

// The module global `re`, the function called, and what that function reads.
Proof prove_re(const ReStandIn& stand_in) {
    Proof proof;
    Object re = proof.watch.item(module_namespace(), "re"_id);
    if (!re) return {};
    Object function = proof.watch.attribute(re, intern(stand_in.function));
    proof.watch.function(function);
    if (!stand_in.agrees(function) || !proof.watch.unchanged()) return {};
    proof.bound = re;
    return proof;
}

// The module global `Version`, its classes and what their functions read.
Proof prove_release_order() {
    Proof proof;
    Object version_class = proof.watch.item(module_namespace(), "Version"_id);
    if (!version_class || !PyType_Check(version_class.get())) return {};
    proof.watch.class_and_bases(version_class);
    if (!releases_agree(version_class) || !proof.watch.unchanged()) return {};
    proof.bound = version_class;
    return proof;
}

}  // namespace

void prove() {
    auto* proven = new std::array<Proof, kPaths>{};
    auto attempt = [&](Path path, auto&& run) {
        try {
            (*proven)[std::size_t(path)] = run();
        } catch (const PyError& e) {
            if (!e.is_ordinary()) throw;
        }
    };
    for (const ReStandIn& stand_in : kReStandIns) attempt(stand_in.path, [&] { return prove_re(stand_in); });
    attempt(Path::release_order, prove_release_order);
    proofs = proven;
}

bool open(Path path) {
    if (!proofs) return false;
    Proof& proof = (*proofs)[std::size_t(path)];
    return proof.bound && proof.watch.unchanged();
}

}  // namespace pic::fastpath
