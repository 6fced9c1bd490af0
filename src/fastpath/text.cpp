#include "fastpath/text.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

namespace pic::fastpath {

namespace {

// Runs `scan(chars, length)` over the code points of a ready str, with
// `chars` typed by the str's kind, so that the loops read plain arrays.
template <class Scan>
auto by_kind(PyObject* text, Scan scan) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return scan(PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND: return scan(PyUnicode_2BYTE_DATA(text), n);
        default: return scan(PyUnicode_4BYTE_DATA(text), n);
    }
}

// What the scans ask of an ASCII character, as bits of one table entry.
// kRewritten: a name holding it is not normalised (upper case, "_", ".").
enum : unsigned char { kSeparator = 1, kUpper = 2, kNameChar = 4, kRewritten = 8 };
// 256 entries, those beyond ASCII empty, so that a one-byte character needs no
// range check.
constexpr auto kAscii = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = kUpper | kNameChar | kRewritten;
    for (int c = 'a'; c <= 'z'; ++c) table[c] = kNameChar;
    for (int c = '0'; c <= '9'; ++c) table[c] = kNameChar;
    table['-'] = kSeparator | kNameChar;
    for (int c : {'_', '.'}) table[c] = kSeparator | kNameChar | kRewritten;
    return table;
}();
template <class C>
bool has(C c, unsigned char bits) {
    if constexpr (sizeof(C) == 1)
        return kAscii[c] & bits;
    else
        return c < 128 && (kAscii[c] & bits);
}

bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }
template <class C>
bool is_separator(C c) { return has(c, kSeparator); }
template <class C>
bool is_name_char(C c) { return has(c, kNameChar); }
bool is_quote(Py_UCS4 c) { return c == '"' || c == '\''; }
template <class C>
bool is_upper_ascii(C c) { return has(c, kUpper); }

// The first `c` in s[span], or span.end.
template <class C>
Py_ssize_t find(const C* s, Span span, char c) {
    if constexpr (sizeof(C) == 1) {
        const void* found = std::memchr(s + span.start, c, std::size_t(span.end - span.start));
        return found ? static_cast<const C*>(found) - s : span.end;
    } else {
        while (span.start < span.end && s[span.start] != C(c)) ++span.start;
        return span.start;
    }
}

template <class C>
Span strip(const C* s, Span span) {
    while (span.start < span.end && is_space(s[span.start])) ++span.start;
    while (span.end > span.start && is_space(s[span.end - 1])) --span.end;
    return span;
}

// Writes re.sub("[-_.]+", "-", s) into `out` (ASCII upper case lowered first
// when `Lowering`); returns the length written. `changed`: it differs from s.
template <bool Lowering, class C>
Py_ssize_t write_collapsed(const C* s, Py_ssize_t n, C* out, bool& changed) {
    C* const begin = out;
    bool differs = false;
    for (Py_ssize_t i = 0; i < n;) {
        C c = s[i++];
        if (!is_separator(c)) {
            C written = Lowering && is_upper_ascii(c) ? C(c + 32) : c;
            differs |= written != c;
            *out++ = written;
            continue;
        }
        differs |= c != '-' || (i < n && is_separator(s[i]));
        while (i < n && is_separator(s[i])) ++i;
        *out++ = C('-');
    }
    changed = differs;
    return out - begin;
}

// re.sub("[-_.]+", "-", text), text lower-cased first when `Lowering` (ASCII
// text only: beyond ASCII, lower() may change the length and the kind).
template <bool Lowering>
Object collapse(PyObject* text) {
    return by_kind(text, [&](const auto* s, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        constexpr Py_ssize_t kOnStack = 128;  // code points; longer texts take the heap
        C on_stack[kOnStack];
        std::vector<C> on_heap(n > kOnStack ? std::size_t(n) : 0);
        C* buffer = n > kOnStack ? on_heap.data() : on_stack;
        bool changed = false;
        Py_ssize_t length = write_collapsed<Lowering>(s, n, buffer, changed);
        // An equal str: re.sub gives its argument back when nothing matches, and
        // lower() of lower-case text is equal to it.
        if (!changed) return Object::borrow(text);
        // Only ASCII separators go, so the widest code point stays: same kind out.
        Py_UCS4 widest = PyUnicode_IS_ASCII(text) ? 127 : PyUnicode_MAX_CHAR_VALUE(text);
        Object out = Object::steal(PyUnicode_New(length, widest));
        std::copy_n(buffer, length, static_cast<C*>(PyUnicode_DATA(out.get())));
        return out;
    });
}

}  // namespace

Span strip_span(PyObject* text, Span span) {
    return by_kind(text, [&](const auto* s, Py_ssize_t) { return strip(s, span); });
}

Object substring(PyObject* text, Span span) { return Object::steal(PyUnicode_Substring(text, span.start, span.end)); }

MarkerSplit split_markers(PyObject* text) {
    return by_kind(text, [&](const auto* s, Py_ssize_t n) {
        Py_ssize_t semicolon = find(s, {0, n}, ';');
        if (semicolon == n) return MarkerSplit{strip(s, {0, n}), std::nullopt};
        return MarkerSplit{strip(s, {0, semicolon}), strip(s, {semicolon + 1, n})};
    });
}

Object lower(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return Object::borrow(text).call_method("lower"_id);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Object out = Object::steal(PyUnicode_New(n, 127));
    const Py_UCS1* src = PyUnicode_1BYTE_DATA(text);
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = is_upper_ascii(src[i]) ? Py_UCS1(src[i] + 32) : src[i];
    return out;
}

Object collapse_separators(PyObject* text) { return collapse<false>(text); }

Object normalized_name(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return collapse<false>(lower(text).get());
    // The common case, ASCII, in one pass: one table entry per character.
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    // Most names are normalised already: a read-only scan says so.
    Py_ssize_t i = 0;
    while (i < n && !(kAscii[s[i]] & kRewritten) && !(s[i] == '-' && i + 1 < n && s[i + 1] == '-')) ++i;
    if (i == n) return Object::borrow(text);  // an equal str
    constexpr Py_ssize_t kOnStack = 128;
    if (n > kOnStack) return collapse<true>(text);
    Py_UCS1 buffer[kOnStack];
    Py_UCS1* out = buffer;
    for (i = 0; i < n;) {
        Py_UCS1 c = s[i++];
        unsigned char bits = kAscii[c];
        if (!(bits & kSeparator)) {
            *out++ = Py_UCS1(c | (bits & kUpper ? 0x20 : 0));  // 'A' | 0x20 == 'a'
            continue;
        }
        while (i < n && (kAscii[s[i]] & kSeparator)) ++i;
        *out++ = '-';
    }
    Object result = Object::steal(PyUnicode_New(out - buffer, 127));
    std::copy(buffer, out, PyUnicode_1BYTE_DATA(result.get()));
    return result;
}

Object drop_version_segments(PyObject* text) {
    // A literal pattern: re.sub's leftmost non-overlapping scan is str.replace's.
    static PyObject* const segment = intern("/{version}");
    static PyObject* const nothing = intern("");
    return Object::steal(PyUnicode_Replace(text, segment, nothing, -1));
}

std::optional<RequirementMatch> match_requirement(PyObject* text, Span span) {
    return by_kind(text, [&](const auto* s, Py_ssize_t) -> std::optional<RequirementMatch> {
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
        m.rest = {p, find(s, {p, span.end}, '\n')};
        return m;
    });
}

Object extras_list(PyObject* text, Span span) {
    Object extras = new_list();
    by_kind(text, [&](const auto* s, Py_ssize_t) {
        auto bracket = [&](Py_ssize_t i) { return s[i] == '[' || s[i] == ']'; };
        while (span.start < span.end && bracket(span.start)) ++span.start;
        while (span.end > span.start && bracket(span.end - 1)) --span.end;
        Py_ssize_t piece = span.start;
        for (Py_ssize_t i = span.start; i <= span.end; ++i) {
            if (i < span.end && s[i] != ',') continue;
            append(extras, substring(text, strip(s, {piece, i})));
            piece = i + 1;
        }
    });
    return extras;
}

std::optional<Span> search_extra(PyObject* text) {
    return by_kind(text, [&](const auto* s, Py_ssize_t n) -> std::optional<Span> {
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
    });
}

}  // namespace pic::fastpath
