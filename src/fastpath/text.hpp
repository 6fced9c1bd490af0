// Native stand-ins for the few regular expressions and str methods the module
// applies to text. Each gives exactly what the library call gives, for every
// str (any kind, lone surrogates included); the regular expressions are taken
// only through their entries in paths.hpp, while the gate holds. The str
// methods (split, strip, lower) need no gate: the arguments are exact str.
#pragma once

#include <optional>

#include "runtime/ref.hpp"

namespace pic::fastpath {

// A half-open range of code points in a str.
struct Span {
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
};

inline Span whole(PyObject* text) { return {0, PyUnicode_GET_LENGTH(text)}; }

// The bounds of text[span].strip(): Unicode white space off both ends.
Span strip_span(PyObject* text, Span span);
inline Span strip_span(PyObject* text) { return strip_span(text, whole(text)); }
Object substring(PyObject* text, Span span);

// A requirement string split at its first ";" (text.split(";", 1)), both
// pieces stripped; no markers when there is no ";".
struct MarkerSplit {
    Span requirement;
    std::optional<Span> markers;
};
MarkerSplit split_markers(PyObject* text);
inline Span before_markers(PyObject* text) { return split_markers(text).requirement; }

// text.lower() (text is an exact str).
Object lower(PyObject* text);

// re.sub("[-_.]+", "-", text)
Object collapse_separators(PyObject* text);

// re.sub("[-_.]+", "-", text.lower())
Object normalized_name(PyObject* text);

// re.sub(r"/\{version\}", "", text)
Object drop_version_segments(PyObject* text);

// re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", text[span]) as spans of
// text: the name, the bracketed extras (empty when group 2 did not match),
// and the rest up to the first line feed.
struct RequirementMatch {
    Span name;
    std::optional<Span> extras;
    Span rest;
};
std::optional<RequirementMatch> match_requirement(PyObject* text, Span span);

// [e.strip() for e in text[span].strip("[]").split(",")]
Object extras_list(PyObject* text, Span span);

// Group 1 of re.search(r"""extra\s*==\s*["']([^"']+)["']""", text).
std::optional<Span> search_extra(PyObject* text);

}  // namespace pic::fastpath
