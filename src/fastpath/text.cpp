#include "fastpath/text.hpp"

namespace pic::fastpath {

namespace {

// Random access to the code points of a ready str.
class Chars {
public:
    explicit Chars(PyObject* text)
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), length_(PyUnicode_GET_LENGTH(text)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    Py_ssize_t size() const { return length_; }
    int kind() const { return kind_; }
    const void* data() const { return data_; }

private:
    int kind_;
    const void* data_;
    Py_ssize_t length_;
};

bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }
bool is_separator(Py_UCS4 c) { return c == '-' || c == '_' || c == '.'; }
bool is_name_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || is_separator(c);
}
bool is_quote(Py_UCS4 c) { return c == '"' || c == '\''; }

}  // namespace

Span strip_span(PyObject* text, Span span) {
    Chars s(text);
    while (span.start < span.end && is_space(s[span.start])) ++span.start;
    while (span.end > span.start && is_space(s[span.end - 1])) --span.end;
    return span;
}

Object substring(PyObject* text, Span span) { return Object::steal(PyUnicode_Substring(text, span.start, span.end)); }

MarkerSplit split_markers(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t semicolon = PyUnicode_FindChar(text, ';', 0, length, 1);
    if (semicolon == -2) throw_error();
    if (semicolon < 0) return {strip_span(text, {0, length}), std::nullopt};
    return {strip_span(text, {0, semicolon}), strip_span(text, {semicolon + 1, length})};
}

Object lower(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return Object::borrow(text).call_method("lower"_id);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Object out = Object::steal(PyUnicode_New(n, 127));
    const Py_UCS1* src = PyUnicode_1BYTE_DATA(text);
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = (src[i] >= 'A' && src[i] <= 'Z') ? Py_UCS1(src[i] + 32) : src[i];
    return out;
}

Object collapse_separators(PyObject* text) {
    Chars s(text);
    const Py_ssize_t n = s.size();
    Py_ssize_t out_length = 0;
    bool changed = false;
    for (Py_ssize_t i = 0; i < n;) {
        if (is_separator(s[i])) {
            Py_ssize_t j = i + 1;
            while (j < n && is_separator(s[j])) ++j;
            if (j - i > 1 || s[i] != '-') changed = true;
            i = j;
        } else {
            ++i;
        }
        ++out_length;
    }
    if (!changed) return Object::borrow(text);  // as re.sub: no replacement, the same str
    // Only ASCII separators go, so the widest code point stays: same kind out.
    Py_UCS4 widest = PyUnicode_IS_ASCII(text) ? 127 : PyUnicode_MAX_CHAR_VALUE(text);
    Object out = Object::steal(PyUnicode_New(out_length, widest));
    const int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < n;) {
        if (is_separator(s[i])) {
            while (i < n && is_separator(s[i])) ++i;
            PyUnicode_WRITE(kind, data, k++, '-');
        } else {
            PyUnicode_WRITE(kind, data, k++, s[i]);
            ++i;
        }
    }
    return out;
}

Object normalized_name(PyObject* text) { return collapse_separators(lower(text).get()); }

Object drop_version_segments(PyObject* text) {
    // A literal pattern: re.sub's leftmost non-overlapping scan is str.replace's.
    static PyObject* const segment = intern("/{version}");
    static PyObject* const nothing = intern("");
    return Object::steal(PyUnicode_Replace(text, segment, nothing, -1));
}

std::optional<RequirementMatch> match_requirement(PyObject* text, Span span) {
    Chars s(text);
    Py_ssize_t p = span.start;
    while (p < span.end && is_name_char(s[p])) ++p;
    if (p == span.start) return std::nullopt;
    RequirementMatch m;
    m.name = {span.start, p};
    // (\[[^\]]+\])? : "[", one or more non-"]" (line feeds included), "]".
    if (p < span.end && s[p] == '[') {
        Py_ssize_t close = p + 1;
        while (close < span.end && s[close] != ']') ++close;
        if (close < span.end && close > p + 1) {
            m.extras = Span{p, close + 1};
            p = close + 1;
        }
    }
    // (.*) : "." stops at a line feed only.
    Py_ssize_t end = p;
    while (end < span.end && s[end] != '\n') ++end;
    m.rest = {p, end};
    return m;
}

Object extras_list(PyObject* text, Span span) {
    Chars s(text);
    auto bracket = [&](Py_ssize_t i) { return s[i] == '[' || s[i] == ']'; };
    while (span.start < span.end && bracket(span.start)) ++span.start;
    while (span.end > span.start && bracket(span.end - 1)) --span.end;
    Object extras = new_list();
    Py_ssize_t piece = span.start;
    for (Py_ssize_t i = span.start; i <= span.end; ++i) {
        if (i < span.end && s[i] != ',') continue;
        append(extras, substring(text, strip_span(text, {piece, i})));
        piece = i + 1;
    }
    return extras;
}

std::optional<Span> search_extra(PyObject* text) {
    Chars s(text);
    const Py_ssize_t n = s.size();
    static constexpr char word[] = "extra";
    for (Py_ssize_t i = 0; i + 5 <= n; ++i) {
        Py_ssize_t p = i;
        while (p < i + 5 && s[p] == Py_UCS4(word[p - i])) ++p;
        if (p < i + 5) continue;
        while (p < n && is_space(s[p])) ++p;
        if (p + 1 >= n || s[p] != '=' || s[p + 1] != '=') continue;
        p += 2;
        while (p < n && is_space(s[p])) ++p;
        if (p >= n || !is_quote(s[p])) continue;
        Py_ssize_t start = ++p;
        while (p < n && !is_quote(s[p])) ++p;
        if (p >= n || p == start) continue;
        return Span{start, p};
    }
    return std::nullopt;
}

}  // namespace pic::fastpath
