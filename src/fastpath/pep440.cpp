#include "fastpath/pep440.hpp"

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

// Numbers of up to 18 digits fit; longer ones go to the library (whose int()
// may also refuse them under the interpreter's digit limit).
constexpr std::size_t kMaxDigits = 18;

struct LocalPart {
    bool number;
    std::uint64_t value;    // when number
    std::string_view text;  // when not: as written; compared lower-cased
};

// packaging's comparison key: (epoch, release without trailing zeros,
// (pre_rank, pre_n, post_rank, post_n, dev_rank, dev_n)[, local]).
struct Key {
    std::uint64_t epoch = 0;
    std::uint32_t release_at = 0, release_count = 0;  // into Parsed::numbers
    int pre_rank = 3;
    std::uint64_t pre_n = 0;
    int post_rank = 0;
    std::uint64_t post_n = 0;
    int dev_rank = 1;
    std::uint64_t dev_n = 0;
    bool has_local = false;
    std::uint32_t local_at = 0, local_count = 0;  // into Parsed::locals
    PyObject* text = nullptr;
};

struct Parsed {
    std::vector<Key> keys;
    std::vector<std::uint64_t> numbers;
    std::vector<LocalPart> locals;
    std::deque<std::string> copies;  // ASCII cores of wider strs (stable addresses)
};

enum class Outcome { valid, invalid, unsupported };

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (lower_ascii(c) >= 'a' && lower_ascii(c) <= 'z'); }
bool is_sep(char c) { return c == '.' || c == '_' || c == '-'; }

class Parser {
public:
    Parser(std::string_view s, Parsed& out) : s_(s), out_(out) {}

    // v? (N!)? N(.N)* pre? post? dev? (+local)? with white space around.
    Outcome run(Key& key) {
        strip_space();
        if (p_ < s_.size() && lower_ascii(s_[p_]) == 'v') ++p_;
        epoch(key);
        if (!release(key)) return fail();
        bool has_pre = pre_release(key), has_post = post_release(key), has_dev = dev_release(key);
        local(key);
        if (unsupported_) return Outcome::unsupported;
        if (p_ != s_.size()) return fail();
        if (!has_pre) key.pre_rank = (!has_post && has_dev) ? -1 : 3;
        key.post_rank = has_post ? 1 : 0;
        key.dev_rank = has_dev ? 0 : 1;
        return Outcome::valid;
    }

private:
    // \s* ... \s* around the version (ASCII text: the same set as str.isspace)
    void strip_space() {
        std::size_t b = 0, e = s_.size();
        while (b < e && Py_UNICODE_ISSPACE(Py_UCS4(s_[b]))) ++b;
        while (e > b && Py_UNICODE_ISSPACE(Py_UCS4(s_[e - 1]))) --e;
        s_ = s_.substr(b, e - b);
        p_ = 0;
    }

    // digits followed by "!"
    void epoch(Key& key) {
        std::size_t save = p_;
        std::uint64_t n = 0;
        if (digits(n) && at('!')) {
            key.epoch = n;
            ++p_;
        } else {
            p_ = save;
        }
    }

    // digits ("." digits)*, trailing zeros dropped from the key
    bool release(Key& key) {
        key.release_at = std::uint32_t(out_.numbers.size());
        std::uint64_t n = 0;
        if (!digits(n)) return false;
        out_.numbers.push_back(n);
        while (at('.') && p_ + 1 < s_.size() && is_digit(s_[p_ + 1])) {
            ++p_;
            digits(n);
            out_.numbers.push_back(n);
        }
        std::size_t count = out_.numbers.size() - key.release_at;
        while (count > 0 && out_.numbers[key.release_at + count - 1] == 0) --count;
        out_.numbers.resize(key.release_at + count);
        key.release_count = std::uint32_t(count);
        return true;
    }

    // sep? letter sep? digits?
    bool pre_release(Key& key) {
        static constexpr std::pair<std::string_view, int> letters[] = {
            {"alpha", 0}, {"a", 0}, {"beta", 1}, {"b", 1}, {"preview", 2}, {"pre", 2}, {"c", 2}, {"rc", 2}};
        return labelled(letters, key.pre_rank, key.pre_n);
    }

    // "-" digits | sep? letter sep? digits?
    bool post_release(Key& key) {
        static constexpr std::pair<std::string_view, int> letters[] = {{"post", 0}, {"rev", 0}, {"r", 0}};
        if (at('-') && p_ + 1 < s_.size() && is_digit(s_[p_ + 1])) {
            ++p_;
            digits(key.post_n);
            return true;
        }
        int unused = 0;
        return labelled(letters, unused, key.post_n);
    }

    // sep? "dev" sep? digits?
    bool dev_release(Key& key) {
        static constexpr std::pair<std::string_view, int> letters[] = {{"dev", 0}};
        int unused = 0;
        return labelled(letters, unused, key.dev_n);
    }

    // "+" alnum+ (sep alnum+)*: numbers by value, words as written
    void local(Key& key) {
        if (!at('+') || p_ + 1 >= s_.size() || !is_alnum(s_[p_ + 1])) return;
        ++p_;
        key.has_local = true;
        key.local_at = std::uint32_t(out_.locals.size());
        while (true) {
            std::size_t start = p_;
            while (p_ < s_.size() && is_alnum(s_[p_])) ++p_;
            std::string_view part = s_.substr(start, p_ - start);
            if (std::all_of(part.begin(), part.end(), is_digit)) {
                if (part.size() > kMaxDigits) unsupported_ = true;
                out_.locals.push_back({true, to_number(part), {}});
            } else {
                out_.locals.push_back({false, 0, part});
            }
            if (p_ + 1 >= s_.size() || !is_sep(s_[p_]) || !is_alnum(s_[p_ + 1])) break;
            ++p_;
        }
        key.local_count = std::uint32_t(out_.locals.size() - key.local_at);
    }

    Outcome fail() { return unsupported_ ? Outcome::unsupported : Outcome::invalid; }
    bool at(char c) const { return p_ < s_.size() && s_[p_] == c; }
    void skip_sep() {
        if (p_ < s_.size() && is_sep(s_[p_])) ++p_;
    }
    static std::uint64_t to_number(std::string_view d) {
        std::uint64_t v = 0;
        for (char c : d) v = v * 10 + std::uint64_t(c - '0');
        return v;
    }
    bool digits(std::uint64_t& value) {
        std::size_t start = p_;
        while (p_ < s_.size() && is_digit(s_[p_])) ++p_;
        if (p_ == start) return false;
        if (p_ - start > kMaxDigits) {
            unsupported_ = true;
            return true;
        }
        value = to_number(s_.substr(start, p_ - start));
        return true;
    }
    // sep? word sep? digits?: the word's value in `value`, the number (0 when
    // none is written) in `number`; nothing taken when the word is not there.
    template <std::size_t N>
    bool labelled(const std::pair<std::string_view, int> (&words)[N], int& value, std::uint64_t& number) {
        std::size_t save = p_;
        skip_sep();
        if (!word(words, value)) {
            p_ = save;
            return false;
        }
        skip_sep();
        number = 0;
        digits(number);
        return true;
    }
    // The first of `words` (in order) that the text continues with, ignoring case.
    template <std::size_t N>
    bool word(const std::pair<std::string_view, int> (&words)[N], int& value) {
        for (const auto& [w, v] : words) {
            if (s_.size() - p_ < w.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < w.size() && same; ++i) same = lower_ascii(s_[p_ + i]) == w[i];
            if (same) {
                p_ += w.size();
                value = v;
                return true;
            }
        }
        return false;
    }

    std::string_view s_;
    Parsed& out_;
    std::size_t p_ = 0;
    bool unsupported_ = false;
};

template <class T>
int three_way(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Python str comparison of the lower-cased ASCII texts.
int compare_lowered(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char x = lower_ascii(a[i]), y = lower_ascii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return three_way(a.size(), b.size());
}

// Tuple comparison of the two keys, as packaging's __lt__ does it.
int compare(const Parsed& p, const Key& a, const Key& b) {
    if (int c = three_way(a.epoch, b.epoch)) return c;
    std::uint32_t n = std::min(a.release_count, b.release_count);
    for (std::uint32_t i = 0; i < n; ++i)
        if (int c = three_way(p.numbers[a.release_at + i], p.numbers[b.release_at + i])) return c;
    if (int c = three_way(a.release_count, b.release_count)) return c;
    if (int c = three_way(a.pre_rank, b.pre_rank)) return c;
    if (int c = three_way(a.pre_n, b.pre_n)) return c;
    if (int c = three_way(a.post_rank, b.post_rank)) return c;
    if (int c = three_way(a.post_n, b.post_n)) return c;
    if (int c = three_way(a.dev_rank, b.dev_rank)) return c;
    if (int c = three_way(a.dev_n, b.dev_n)) return c;
    if (int c = three_way(a.has_local, b.has_local)) return c;  // the 3-tuple sorts first
    std::uint32_t m = std::min(a.local_count, b.local_count);
    for (std::uint32_t i = 0; i < m; ++i) {
        const LocalPart& x = p.locals[a.local_at + i];
        const LocalPart& y = p.locals[b.local_at + i];
        // (n, "") for numbers, (-1, text) for words: every number sorts after every word.
        if (x.number != y.number) return x.number ? 1 : -1;
        if (int c = x.number ? three_way(x.value, y.value) : compare_lowered(x.text, y.text)) return c;
    }
    return three_way(a.local_count, b.local_count);
}

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
    parsed.numbers.reserve(std::size_t(n) * 3);
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
        Key key;
        key.text = text;
        std::size_t numbers = parsed.numbers.size(), locals = parsed.locals.size();
        switch (Parser(s, parsed).run(key)) {
            case Outcome::valid: parsed.keys.push_back(key); break;
            case Outcome::invalid:  // Version rejects it: left out, as the library road skips it
                parsed.numbers.resize(numbers);
                parsed.locals.resize(locals);
                break;
            case Outcome::unsupported: return std::nullopt;
        }
    }
    std::stable_sort(parsed.keys.begin(), parsed.keys.end(),
                     [&](const Key& a, const Key& b) { return compare(parsed, a, b) > 0; });
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
