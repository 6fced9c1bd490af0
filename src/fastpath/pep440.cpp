#include "fastpath/pep440.hpp"

#include "fastpath/pep440_grammar.hpp"
#include "fastpath/text.hpp"
#include "runtime/guard.hpp"
#include "runtime/imports.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pic::fastpath {

namespace {

using pep440::Key;
using pep440::Parts;

// A key, and the text it was read from.
struct Release {
    Key key;
    PyObject* text;
};

struct Parsed {
    std::vector<Release> keys;
    Parts parts;
    std::deque<std::string> copies;  // ASCII cores of wider strs (stable addresses)
};

enum class Outcome { valid, invalid, unsupported };

// Beyond ASCII, the grammar admits white space (str.isspace, the same set as
// \s) around an ASCII version, and, where it ignores case, the four letters
// that Unicode case folding maps onto ASCII ones (İ ı ſ K): packaging releases
// whose pattern is not ASCII-only accept "1.0poſt1" and keep "poſt" as its own
// post-release spelling, later ones reject it. The ASCII core goes to `out`;
// such a letter is unsupported (the library decides), any other non-ASCII
// character inside makes the text invalid.
Outcome ascii_core(PyObject* text, std::string& out) {
    Span core = strip_span(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    out.clear();
    out.reserve(std::size_t(core.end - core.start));
    Outcome outcome = Outcome::valid;
    for (Py_ssize_t i = core.start; i < core.end; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0x130 || c == 0x131 || c == 0x17f || c == 0x212a) return Outcome::unsupported;
        if (c >= 128) outcome = Outcome::invalid;
        out.push_back(char(c));
    }
    return outcome;
}

}  // namespace

std::optional<Object> newest_first(const Object& texts) {
    if (!PyList_CheckExact(texts.get())) return std::nullopt;
    const Py_ssize_t n = PyList_GET_SIZE(texts.get());
    Parsed parsed;
    parsed.keys.reserve(std::size_t(n));
    parsed.parts.numbers.reserve(std::size_t(n) * 3);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* text = PyList_GET_ITEM(texts.get(), i);
        if (!PyUnicode_CheckExact(text)) return std::nullopt;
        std::string_view s;
        if (PyUnicode_IS_ASCII(text)) {
            s = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), std::size_t(PyUnicode_GET_LENGTH(text))};
        } else {
            std::string core;
            Outcome outcome = ascii_core(text, core);
            if (outcome == Outcome::unsupported) return std::nullopt;
            if (outcome == Outcome::invalid) continue;  // Version rejects it
            s = parsed.copies.emplace_back(std::move(core));
        }
        Release release{Key(), text};
        std::size_t numbers = parsed.parts.numbers.size(), locals = parsed.parts.locals.size();
        pep440::Parsed read = pep440::parse(s, release.key, &parsed.parts);
        if (read.oversized) return std::nullopt;  // the library decides
        if (read.valid) {
            parsed.keys.push_back(release);
        } else {  // Version rejects it: left out, as the library road skips it
            parsed.parts.numbers.resize(numbers);
            parsed.parts.locals.resize(locals);
        }
    }
    std::stable_sort(parsed.keys.begin(), parsed.keys.end(), [&](const Release& a, const Release& b) {
        return pep440::compare(parsed.parts, a.key, b.key) > 0;
    });
    Object out = Object::steal(PyList_New(Py_ssize_t(parsed.keys.size())));
    for (std::size_t i = 0; i < parsed.keys.size(); ++i)
        PyList_SET_ITEM(out.get(), Py_ssize_t(i), Py_NewRef(parsed.keys[i].text));
    return out;
}

Object texts_newest_first(const Object& pairs) {
    // list.sort itself (not a C++ sort): the same comparisons, and far fewer of
    // them on the nearly ordered keys that indexes publish.
    // Set once under the GIL; no C++ static guard, which a second thread would
    // wait on while holding the GIL that the import may hand over.
    static PyObject* first_member = nullptr;
    if (!first_member) {
        Object getter = import_from("operator", "itemgetter")(integer(0));
        if (!first_member) first_member = getter.release();
    }
    pairs.call_method("sort"_id, "key"_kw = first_member, "reverse"_kw = Py_True);
    Py_ssize_t n = PyList_GET_SIZE(pairs.get());
    Object texts = Object::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(texts.get(), i, Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 1)));
    return texts;
}

Object newest_first_by(const Object& version_class, const Object& texts) {
    Object pairs = new_list();
    for (Object text : iterate(texts))  // a text the class refuses is left out
        guarded([&] { append(pairs, tuple(version_class(text), text)); }, [](const PyError&) {});
    return texts_newest_first(pairs);
}

}  // namespace pic::fastpath
