#include "fastpath/pep440_grammar.hpp"

#include <algorithm>
#include <utility>

namespace pic::fastpath::pep440 {

namespace {

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return lower_ascii(c) >= 'a' && lower_ascii(c) <= 'z'; }
bool is_alnum(char c) { return is_digit(c) || is_letter(c); }
bool is_sep(char c) { return c == '.' || c == '_' || c == '-'; }

// kKey: the key's parts are collected in `out` (else only the grammar is checked).
template <bool kKey>
class Parser {
public:
    Parser(std::string_view s, Parts* out) : s_(s), out_(out) {}

    // v? (N!)? N(.N)* pre? post? dev? (+local)? with white space around.
    Parsed run(Key& key) {
        strip_space();
        if (p_ < s_.size() && lower_ascii(s_[p_]) == 'v') ++p_;
        if (!epoch_and_release(key)) return {false, oversized_};
        bool has_pre = pre_release(key), has_post = post_release(key), has_dev = dev_release(key);
        local(key);
        if (p_ != s_.size()) return {false, oversized_};
        if (!has_pre) key.pre_rank = (!has_post && has_dev) ? -1 : 3;
        key.post_rank = has_post ? 1 : 0;
        key.dev_rank = has_dev ? 0 : 1;
        return {true, oversized_};
    }

private:
    void strip_space() {
        std::size_t b = 0, e = s_.size();
        while (b < e && is_space(s_[b])) ++b;
        while (e > b && is_space(s_[e - 1])) --e;
        s_ = s_.substr(b, e - b);
        p_ = 0;
    }

    // (digits "!")? digits ("." digits)*: the first number read once, an
    // epoch when "!" follows it; trailing zeros dropped from the key
    bool epoch_and_release(Key& key) {
        std::uint64_t n = 0;
        if (!digits(n)) return false;
        if (at('!')) {
            key.epoch = n;
            ++p_;
            if (!digits(n)) return false;
        }
        if constexpr (kKey) {
            key.release_at = std::uint32_t(out_->numbers.size());
            out_->numbers.push_back(n);
        }
        while (at('.') && p_ + 1 < s_.size() && is_digit(s_[p_ + 1])) {
            ++p_;
            digits(n);
            if constexpr (kKey) out_->numbers.push_back(n);
        }
        if constexpr (kKey) {
            std::size_t count = out_->numbers.size() - key.release_at;
            while (count > 0 && out_->numbers[key.release_at + count - 1] == 0) --count;
            out_->numbers.resize(key.release_at + count);
            key.release_count = std::uint32_t(count);
        }
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
        if constexpr (kKey) key.local_at = std::uint32_t(out_->locals.size());
        while (true) {
            std::size_t start = p_;
            while (p_ < s_.size() && is_alnum(s_[p_])) ++p_;
            std::string_view part = s_.substr(start, p_ - start);
            if (std::all_of(part.begin(), part.end(), is_digit)) {
                if (part.size() > kMaxDigits) oversized_ = true;
                if constexpr (kKey) out_->locals.push_back({true, to_number(part), {}});
            } else if constexpr (kKey) {
                out_->locals.push_back({false, 0, part});
            }
            if (p_ + 1 >= s_.size() || !is_sep(s_[p_]) || !is_alnum(s_[p_ + 1])) break;
            ++p_;
        }
        if constexpr (kKey) key.local_count = std::uint32_t(out_->locals.size() - key.local_at);
    }

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
            oversized_ = true;
            return true;
        }
        if constexpr (kKey) value = to_number(s_.substr(start, p_ - start));  // only a key needs the value
        return true;
    }
    // sep? word sep? digits?: the word's value in `value`, the number (0 when
    // none is written) in `number`; nothing taken when the word is not there.
    template <std::size_t N>
    bool labelled(const std::pair<std::string_view, int> (&words)[N], int& value, std::uint64_t& number) {
        std::size_t save = p_;
        skip_sep();
        if (p_ >= s_.size() || !is_letter(s_[p_]) || !word(words, value)) {
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
    Parts* out_;
    std::size_t p_ = 0;
    bool oversized_ = false;
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

}  // namespace

// Flattened: the page reader asks it of every file name.
[[gnu::flatten]] Parsed parse(std::string_view text, Key& key, Parts* parts) {
    return parts ? Parser<true>(text, parts).run(key) : Parser<false>(text, nullptr).run(key);
}

[[gnu::flatten]] bool is_version(std::string_view text) {
    Key key;
    return Parser<false>(text, nullptr).run(key).valid;
}

int compare(const Parts& p, const Key& a, const Key& b) {
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

}  // namespace pic::fastpath::pep440
