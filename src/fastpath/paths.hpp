// The fast paths: each native stand-in beside the library call it replaces,
// one entry each. An entry gives
// - `global()`: the module global the library call goes through;
// - `library(global, args...)`: the library call exactly as the module makes
//   it, both where the stand-in is off and in the probes at import;
// - `native(args...)`: the stand-in; nullopt leaves these arguments to the
//   library (an argument it does not decide);
// - `watch(w, global)`: where its proof starts; watch.hpp follows what the
//   library call reads from there;
// - `probe(p)`: the inputs (probes.hpp) on which both must answer alike.
// The module asks through `answer<Entry>(args...)`: the stand-in while its
// gate holds and it decides, else the library call, with the module global
// read now. A new fast path is one entry here and its name in `Paths`.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

#include "fastpath/gate.hpp"
#include "fastpath/pep440.hpp"
#include "fastpath/probes.hpp"
#include "fastpath/text.hpp"
#include "fastpath/watch.hpp"
#include "runtime/globals.hpp"

namespace pic::fastpath {

// What both calls of an entry answer, as a Python value the probes compare.
inline Object as_python(const Object& value) { return value ? value : Object::none(); }

// The same answer: the same type, and equal (item by item for lists and tuples).
bool same(PyObject* a, PyObject* b);
inline bool same(const Object& a, const Object& b) { return same(a.get(), b.get()); }

// Asks one entry's two calls the same question at import, through the module
// global as bound then.
template <class Entry>
class Probe {
public:
    explicit Probe(const Object& global) : global_(global) {}

    // The stand-in must decide these arguments, and as the library does.
    template <class... A>
    bool agrees(const A&... args) const {
        return compare(true, args...);
    }
    // The stand-in may leave these to the library; where it decides, it agrees.
    template <class... A>
    bool agrees_or_declines(const A&... args) const {
        return compare(false, args...);
    }

private:
    template <class... A>
    bool compare(bool must_decide, const A&... args) const {
        std::optional<typename Entry::Result> native = Entry::native(args...);
        if (!native) return !must_decide;
        return same(as_python(*native), as_python(Entry::library(global_, args...)));
    }
    const Object& global_;
};

// --- the entries -------------------------------------------------------------------------

// re.sub("[-_.]+", "-", name.lower())
struct NormalizeName {
    using Result = Object;
    static PyObject* global() { return "re"_id; }
    static Object library(const Object& re, const Object& name) {
        static PyObject* const pattern = intern("[-_.]+");
        return re.attr("sub"_id)(pattern, "-"_id, name.call_method("lower"_id));
    }
    static std::optional<Object> native(const Object& name) {
        if (!PyUnicode_CheckExact(name.get())) return std::nullopt;
        return normalized_name(name.get());
    }
    static void watch(Watch& w, const Object& re) { w.function(w.attribute(re, "sub"_id)); }
    static bool probe(const Probe<NormalizeName>& p) {
        for (std::string_view text : probes::kNames)
            if (!p.agrees(probes::decode(text))) return false;
        return true;
    }
};

// re.sub(r"/\{version\}", "", url)
struct DropVersionSegment {
    using Result = Object;
    static PyObject* global() { return "re"_id; }
    static Object library(const Object& re, const Object& url) {
        static PyObject* const pattern = intern(R"(/\{version\})");
        return re.attr("sub"_id)(pattern, ""_id, url);
    }
    static std::optional<Object> native(const Object& url) {
        if (!PyUnicode_CheckExact(url.get())) return std::nullopt;
        return drop_version_segments(url.get());
    }
    static void watch(Watch& w, const Object& re) { w.function(w.attribute(re, "sub"_id)); }
    static bool probe(const Probe<DropVersionSegment>& p) {
        for (std::string_view text : probes::kUrls)
            if (!p.agrees(probes::decode(text))) return false;
        return true;
    }
};

// match = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", text[span]), and
// what a dependency record takes from it: group 1; group 3 stripped; group 2
// stripped of "[" and "]", split at "," and each piece stripped (or []).
struct RequirementParts {
    struct Result {
        Object name, version_spec, extras;  // name null: no match
    };
    static PyObject* global() { return "re"_id; }
    static Result library(const Object& re, const Object& text, Span span);
    static std::optional<Result> native(const Object& text, Span span) {
        if (!PyUnicode_CheckExact(text.get())) return std::nullopt;
        return requirement_parts(text.get(), span);
    }
    static void watch(Watch& w, const Object& re) { w.function(w.attribute(re, "match"_id)); }
    static bool probe(const Probe<RequirementParts>& p) {
        for (std::string_view probe : probes::kRequirements) {
            Object text = probes::decode(probe);
            if (!p.agrees(text, whole(text.get())) || !p.agrees(text, before_markers(text.get()))) return false;
        }
        return true;
    }

private:
    static Result requirement_parts(PyObject* text, Span span);
};
inline Object as_python(const RequirementParts::Result& parts) {
    return parts.name ? tuple(parts.name, parts.version_spec, parts.extras) : Object::none();
}

// The extra a requirement string names: group 1 of `re.search(pattern, req)`,
// the pattern as each road quotes it (`Pattern`), lower-cased where the road
// asks for that (`Lowered`); null when nothing matches.
template <const char* Pattern, bool Lowered>
struct ExtraMarker {
    using Result = Object;
    static PyObject* global() { return "re"_id; }
    static Object library(const Object& re, const Object& req) {
        static PyObject* const pattern = intern(Pattern);
        Object match = re.attr("search"_id)(pattern, req);
        if (Lowered ? match.is_none() : !match.truthy()) return {};
        Object extra = match.call_method("group"_id, integer(1));
        return Lowered ? extra.call_method("lower"_id) : extra;
    }
    static std::optional<Object> native(const Object& req) {
        if (!PyUnicode_CheckExact(req.get())) return std::nullopt;
        std::optional<Span> group = search_extra(req.get());
        if (!group) return Object();
        Object extra = substring(req.get(), *group);
        return Lowered ? lower(extra.get()) : extra;
    }
    static void watch(Watch& w, const Object& re) { w.function(w.attribute(re, "search"_id)); }
    static bool probe(const Probe<ExtraMarker>& p) {
        for (std::string_view text : probes::kMarkers)
            if (!p.agrees(probes::decode(text))) return false;
        return true;
    }
};
// The index road (API and finder) quotes the pattern one way; its extras keep their case.
inline constexpr char kExtraOnIndex[] = R"(extra\s*==\s*['\"]([^'\"]+)['\"])";
using IndexExtra = ExtraMarker<kExtraOnIndex, false>;
// The installed-distribution check quotes it the other way, and lower-cases.
inline constexpr char kExtraInstalled[] = R"(extra\s*==\s*["\']([^"\']+)["\'])";
using InstalledExtra = ExtraMarker<kExtraInstalled, true>;

// The keys Version accepts, newest first: sorting (Version(key), key) pairs.
struct ReleaseOrder {
    using Result = Object;
    static PyObject* global() { return "Version"_id; }
    static Object library(const Object& version_class, const Object& keys) {
        return newest_first_by(version_class, keys);
    }
    static std::optional<Object> native(const Object& keys) { return newest_first(keys); }
    static void watch(Watch& w, const Object& version_class) { w.class_and_bases(version_class); }
    static bool probe(const Probe<ReleaseOrder>& p) {
        Object keys = probes::list_of(probes::kVersions);
        if (!p.agrees(keys)) return false;
        check(PyList_Reverse(keys.get()));  // equal versions now meet in the other order
        if (!p.agrees(keys)) return false;
        for (const auto& pair : probes::kFoldedVersions)
            if (!p.agrees_or_declines(probes::list_of(pair))) return false;
        return true;
    }
};

// --- the list, and the one way to ask -------------------------------------------------------

template <class... Entry>
struct EntryList {
    static constexpr std::size_t size = sizeof...(Entry);
    template <class E>
    static constexpr std::size_t index_of() {
        std::size_t i = 0, found = size;
        ((std::is_same_v<E, Entry> ? (found = i, ++i) : ++i), ...);
        return found;
    }
    template <class F>
    static void each(F&& f) {
        (f.template operator()<Entry>(), ...);
    }
};

using Paths = EntryList<NormalizeName, DropVersionSegment, RequirementParts, IndexExtra, InstalledExtra, ReleaseOrder>;

template <class Entry, class... A>
typename Entry::Result answer(const A&... args) {
    constexpr std::size_t index = Paths::index_of<Entry>();
    static_assert(index < Paths::size, "a fast path is asked for that Paths does not list");
    if (open(index))
        if (std::optional<typename Entry::Result> native = Entry::native(args...)) return std::move(*native);
    return Entry::library(global(Entry::global()), args...);
}

}  // namespace pic::fastpath
