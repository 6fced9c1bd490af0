// The JSON form of a project page (PEP 691, with PEP 700's versions, sizes and
// upload times, PEP 708's tracks and alternate locations, PEP 740's
// provenance and PEP 792's status), read in one pass without building a
// document: a strict RFC 8259 reader whose typed readers take the members
// they know and skip (while checking) the rest.
//
// The page's structure must have its types (a `files` that is not a list of
// objects makes the page unusable); a file without a string `url` is left out,
// and a member of a file with a type it cannot have reads as absent.
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <functional>
#include <string>

#include "pages/page.hpp"
#include "pages/text.hpp"
#include "pages/timestamp.hpp"
#include "pages/url.hpp"

namespace pic::pages {

namespace {

class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {
        if (s_.starts_with("\xEF\xBB\xBF")) p_ = 3;
    }

    [[noreturn]] void fail(const char* what) const {
        throw Unusable(std::string("the page is not valid JSON: ") + what + " at byte " + std::to_string(p_));
    }

    void space() {
        while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\n' || s_[p_] == '\r')) ++p_;
    }
    char peek() {
        space();
        return p_ < s_.size() ? s_[p_] : '\0';
    }
    void expect(char c) {
        if (peek() != c) fail("unexpected character");
        ++p_;
    }
    bool in_body(std::string_view text) const {
        return std::less_equal<>()(s_.data(), text.data()) && std::less<>()(text.data(), s_.data() + s_.size());
    }

    void end() {
        if (peek() != '\0' || p_ != s_.size()) fail("text after the document");
    }

    // Calls member(key) for each member; member reads the value.
    template <class Member>
    void object(int depth, Member&& member) {
        if (depth > kMaxJsonDepth) fail("nesting too deep");
        expect('{');
        if (peek() == '}') {
            ++p_;
            return;
        }
        std::string scratch;
        while (true) {
            if (peek() != '"') fail("expected a member name");
            std::string_view key = string(scratch);
            expect(':');
            member(key);
            char c = peek();
            ++p_;
            if (c == '}') return;
            if (c != ',') fail("expected ',' or '}'");
        }
    }

    template <class Item>
    void array(int depth, Item&& item) {
        if (depth > kMaxJsonDepth) fail("nesting too deep");
        expect('[');
        if (peek() == ']') {
            ++p_;
            return;
        }
        while (true) {
            item();
            char c = peek();
            ++p_;
            if (c == ']') return;
            if (c != ',') fail("expected ',' or ']'");
        }
    }

    // A string at the cursor: a view of the page when it has no escapes,
    // else decoded into `scratch`.
    std::string_view string(std::string& scratch) {
        expect('"');
        std::size_t start = p_;
        while (true) {
            skip_plain();
            if (p_ >= s_.size()) fail("an unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[p_]);
            if (c == '"') return s_.substr(start, p_++ - start);
            if (c == '\\') break;
            if (c < 0x20) fail("a control character in a string");
            utf8();
        }
        scratch.assign(s_.substr(start, p_ - start));
        while (true) {
            if (p_ >= s_.size()) fail("an unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[p_]);
            if (c == '"') {
                ++p_;
                return scratch;
            }
            if (c == '\\') {
                escape(scratch);
            } else if (c < 0x20) {
                fail("a control character in a string");
            } else {
                std::size_t from = p_;
                if (c < 0x80) ++p_;
                else utf8();
                scratch.append(s_.substr(from, p_ - from));
            }
        }
    }

    // A string that outlives the parse: a view of the page, or kept in `arena`.
    Text text(Arena& arena) {
        std::string scratch;
        std::string_view v = string(scratch);
        return v.data() == scratch.data() ? arena.keep(v) : v;
    }

    // Any value, checked and skipped.
    void skip(int depth) {
        switch (peek()) {
            case '{': return object(depth + 1, [&](std::string_view) { skip(depth + 1); });
            case '[': return array(depth + 1, [&] { skip(depth + 1); });
            case '"': {
                std::string scratch;
                string(scratch);
                return;
            }
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: number();
        }
    }

    // A number; its value when it is an integer that fits.
    std::optional<std::int64_t> number() {
        bool negative = p_ < s_.size() && s_[p_] == '-';
        if (negative) ++p_;
        if (p_ >= s_.size() || !is_digit(s_[p_])) fail("unexpected character");
        bool fits = true;
        std::int64_t value = 0;
        if (s_[p_] == '0') {
            ++p_;
        } else {
            for (; p_ < s_.size() && is_digit(s_[p_]); ++p_) {
                if (value > (INT64_MAX - 9) / 10) fits = false;
                else value = value * 10 + (s_[p_] - '0');
            }
        }
        bool integer = true;
        if (p_ < s_.size() && s_[p_] == '.') {
            integer = false;
            ++p_;
            if (p_ >= s_.size() || !is_digit(s_[p_])) fail("a number without digits after '.'");
            while (p_ < s_.size() && is_digit(s_[p_])) ++p_;
        }
        if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
            integer = false;
            ++p_;
            if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-')) ++p_;
            if (p_ >= s_.size() || !is_digit(s_[p_])) fail("a number without an exponent");
            while (p_ < s_.size() && is_digit(s_[p_])) ++p_;
        }
        if (!integer || !fits) return std::nullopt;
        return negative ? -value : value;
    }

    // true, false or null at the cursor: the boolean, or none for null.
    std::optional<bool> boolean() {
        char c = peek();
        if (c == 't' || c == 'f') {
            literal(c == 't' ? "true" : "false");
            return c == 't';
        }
        literal("null");
        return std::nullopt;
    }

private:
    static bool is_digit(char c) { return c >= '0' && c <= '9'; }

    // Moves to the next byte of string text that needs a look (a quote, a
    // backslash, a control character, a byte beyond ASCII), a block at a time.
    void skip_plain() {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
        while (p_ + 16 <= s_.size()) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_.data() + p_));
            // Signed: bytes beyond ASCII are negative, so below ' ' too.
            __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                           _mm_cmplt_epi8(v, space));
            if (int mask = _mm_movemask_epi8(special)) {
                p_ += std::size_t(__builtin_ctz(unsigned(mask)));
                return;
            }
            p_ += 16;
        }
#endif
        while (p_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[p_]);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return;
            ++p_;
        }
    }

    void literal(std::string_view word) {
        if (s_.substr(p_, word.size()) != word) fail("unexpected character");
        p_ += word.size();
    }

    // One UTF-8 sequence of two to four bytes at the cursor, checked as
    // a strict decoder does (no overlong forms, no surrogates).
    void utf8() {
        unsigned char c = static_cast<unsigned char>(s_[p_]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
        if (extra < 0 || c > 0xF4 || p_ + std::size_t(extra) >= s_.size()) fail("text that is not UTF-8");
        unsigned char c1 = static_cast<unsigned char>(s_[p_ + 1]);
        unsigned char low = 0x80, high = 0xBF;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
        if (c1 < low || c1 > high) fail("text that is not UTF-8");
        for (int i = 2; i <= extra; ++i)
            if ((static_cast<unsigned char>(s_[p_ + std::size_t(i)]) & 0xC0) != 0x80) fail("text that is not UTF-8");
        p_ += std::size_t(extra) + 1;
    }

    std::uint32_t hex4() {
        if (p_ + 4 > s_.size()) fail("a short \\u escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = ascii_lower(s_[p_++]);
            if (c >= '0' && c <= '9') v = v * 16 + std::uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f') v = v * 16 + std::uint32_t(c - 'a' + 10);
            else fail("a bad \\u escape");
        }
        return v;
    }

    // A lone surrogate has no UTF-8 form: it becomes U+FFFD.
    void escape(std::string& out) {
        ++p_;
        if (p_ >= s_.size()) fail("an unterminated string");
        char c = s_[p_++];
        switch (c) {
            case '"': out.push_back('"'); return;
            case '\\': out.push_back('\\'); return;
            case '/': out.push_back('/'); return;
            case 'b': out.push_back('\b'); return;
            case 'f': out.push_back('\f'); return;
            case 'n': out.push_back('\n'); return;
            case 'r': out.push_back('\r'); return;
            case 't': out.push_back('\t'); return;
            case 'u': break;
            default: fail("a bad escape");
        }
        std::uint32_t cp = hex4();
        if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(p_, 2) == "\\u") {
            std::size_t save = p_;
            p_ += 2;
            std::uint32_t low = hex4();
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                return;
            }
            p_ = save;
        }
        append_utf8(out, (cp >= 0xD800 && cp <= 0xDFFF) ? 0xFFFD : cp);
    }

    std::string_view s_;
    std::size_t p_ = 0;
};

struct RawFile {
    File file;
    bool has_url = false;
    std::optional<CoreMetadata> core_metadata, dist_info_metadata;
};

// A string, or none for any other value (skipped).
std::optional<Text> optional_string(Reader& r, Arena& arena, int depth) {
    if (r.peek() == '"') return r.text(arena);
    r.skip(depth);
    return std::nullopt;
}

Hashes hashes(Reader& r, Arena& arena, int depth) {
    Hashes out;
    if (r.peek() != '{') {
        r.skip(depth);
        return out;
    }
    r.object(depth + 1, [&](std::string_view key) {
        // The key view may be of the reader's scratch text: kept first.
        Text name = r.in_body(key) ? key : arena.keep(key);
        if (auto value = optional_string(r, arena, depth + 1)) out.add(name, *value);
    });
    return out;
}

// true, false, or an object of hashes; none for any other value.
std::optional<CoreMetadata> metadata(Reader& r, Arena& arena, int depth) {
    char c = r.peek();
    if (c == 't' || c == 'f') return CoreMetadata{*r.boolean(), {}};
    if (c == '{') {
        CoreMetadata m{true, hashes(r, arena, depth)};
        return m;
    }
    r.skip(depth);
    return std::nullopt;
}

void file_member(Reader& r, Arena& arena, int depth, std::string_view key, RawFile& raw, std::string_view page_url) {
    File& f = raw.file;
    auto string_or_none = [&](int d) { return optional_string(r, arena, d); };
    if (key == "filename") {
        if (auto v = string_or_none(depth)) f.filename = *v;
    } else if (key == "url") {
        auto v = string_or_none(depth);
        raw.has_url = bool(v);
        if (v) f.url = resolve_into(arena, page_url, *v);
    } else if (key == "hashes") {
        f.hashes = hashes(r, arena, depth);
    } else if (key == "requires-python") {
        f.requires_python = string_or_none(depth);
        if (f.requires_python && f.requires_python->empty()) f.requires_python.reset();
    } else if (key == "core-metadata") {
        raw.core_metadata = metadata(r, arena, depth);
    } else if (key == "dist-info-metadata") {
        raw.dist_info_metadata = metadata(r, arena, depth);
    } else if (key == "yanked") {
        char c = r.peek();
        if (c == '"') {
            Text reason = r.text(arena);
            f.yanked = true;
            f.yanked_reason = reason.empty() ? std::nullopt : std::optional<Text>(reason);
        } else if (c == 't' || c == 'f') {
            f.yanked = *r.boolean();
            f.yanked_reason.reset();
        } else {
            r.skip(depth);
            f.yanked = false;
            f.yanked_reason.reset();
        }
    } else if (key == "size") {
        char c = r.peek();
        f.size.reset();
        if (c == '-' || (c >= '0' && c <= '9')) f.size = r.number();
        else r.skip(depth);
        if (f.size && *f.size < 0) f.size.reset();
    } else if (key == "upload-time") {
        auto v = string_or_none(depth);
        f.upload_time = v ? parse_rfc3339(*v) : std::nullopt;
    } else if (key == "provenance") {
        auto v = string_or_none(depth);
        f.provenance = v ? std::optional<Text>(resolve_into(arena, page_url, *v)) : std::nullopt;
    } else if (key == "gpg-sig") {
        char c = r.peek();
        f.gpg_sig.reset();
        if (c == 't' || c == 'f') f.gpg_sig = r.boolean();
        else r.skip(depth);
    } else {
        r.skip(depth);
    }
}

void files(Reader& r, Page& page, std::string_view page_url, std::string_view project, FileSink& sink) {
    if (r.peek() != '[') r.fail("'files' is not a list");
    r.array(2, [&] {
        if (r.peek() != '{') r.fail("a file is not an object");
        RawFile raw;
        r.object(3, [&](std::string_view key) { file_member(r, page.arena, 3, key, raw, page_url); });
        if (!raw.has_url) return;
        // PEP 714: the new spelling wins wherever it is given.
        if (raw.core_metadata) raw.file.core_metadata = std::move(*raw.core_metadata);
        else if (raw.dist_info_metadata) raw.file.core_metadata = std::move(*raw.dist_info_metadata);
        if (raw.file.filename.empty()) raw.file.filename = last_segment(page.arena, raw.file.url);
        emit(page, raw.file, project, sink);
    });
}

std::vector<Text> strings(Reader& r, Arena& arena, const char* what, bool urls, std::string_view page_url) {
    if (r.peek() != '[') r.fail(what);
    std::vector<Text> out;
    r.array(2, [&] {
        if (r.peek() != '"') r.fail(what);
        Text s = r.text(arena);
        out.push_back(urls ? resolve_into(arena, page_url, s) : s);
    });
    return out;
}

void status(Reader& r, Page& page) {
    if (r.peek() != '{') r.fail("'project-status' is not an object");
    page.status.reset();
    page.status_reason.reset();
    r.object(2, [&](std::string_view key) {
        if (key == "status") page.status = optional_string(r, page.arena, 2);
        else if (key == "reason") page.status_reason = optional_string(r, page.arena, 2);
        else r.skip(2);
    });
}

}  // namespace

bool is_json_object(std::string_view body) {
    Reader r(body);
    try {
        if (r.peek() != '{') return false;
        r.skip(0);
        r.end();
    } catch (const Unusable&) {
        return false;
    }
    return true;
}

Page parse_json(std::string_view body, std::string_view page_url, std::string_view project, FileSink& sink) {
    const std::string normalized = normalize_name(project);
    bool had_files = false;
    Page page;
    page.format = Format::json;
    Reader r(body);
    if (r.peek() != '{') r.fail("the page is not an object");
    r.object(1, [&](std::string_view key) {
        if (key == "meta") {
            if (r.peek() != '{') r.fail("'meta' is not an object");
            r.object(2, [&](std::string_view k) {
                if (k == "api-version") page.api_version = optional_string(r, page.arena, 2);
                else r.skip(2);
            });
        } else if (key == "name") {
            page.name = optional_string(r, page.arena, 1);
        } else if (key == "files") {
            // A second "files" member wins, as in any JSON reader.
            if (had_files) {
                sink.restart();
                page.versions.restart();
            }
            had_files = true;
            files(r, page, page_url, normalized, sink);
        } else if (key == "versions") {
            page.versions.given(strings(r, page.arena, "'versions' is not a list of strings", false, page_url));
        } else if (key == "tracks") {
            page.tracks = strings(r, page.arena, "'tracks' is not a list of strings", true, page_url);
        } else if (key == "alternate-locations") {
            page.alternate_locations =
                strings(r, page.arena, "'alternate-locations' is not a list of strings", true, page_url);
        } else if (key == "project-status") {
            status(r, page);
        } else {
            r.skip(1);
        }
    });
    r.end();
    if (page.api_version) check_api_version(*page.api_version);
    return page;
}

}  // namespace pic::pages
