#include "pages/url.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pages/text.hpp"

namespace pic::pages {

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) { return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }

// RFC 3986 5.2.4.
std::string remove_dot_segments(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    auto drop_last_segment = [&out] {
        std::size_t slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./")) {
            in.remove_prefix(2);
        } else if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../")) {
            in.remove_prefix(3);
            drop_last_segment();
        } else if (in == "/..") {
            in = "/";
            drop_last_segment();
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
            if (next == std::string_view::npos) next = in.size();
            out.append(in.substr(0, next));
            in.remove_prefix(next);
        }
    }
    return out;
}

// Reference text as browsers read it: outer white space and controls off,
// tabs and line breaks inside removed.
std::string clean_reference(std::string_view reference) {
    while (!reference.empty() && static_cast<unsigned char>(reference.front()) <= 0x20) reference.remove_prefix(1);
    while (!reference.empty() && static_cast<unsigned char>(reference.back()) <= 0x20) reference.remove_suffix(1);
    std::string out;
    out.reserve(reference.size());
    for (char c : reference)
        if (c != '\t' && c != '\n' && c != '\r') out.push_back(c);
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = ascii_lower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

bool is_hash_name(std::string_view name) {
    static constexpr std::string_view names[] = {"md5", "sha1", "sha224", "sha256", "sha384", "sha512"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

}  // namespace

UrlParts split_url(std::string_view url) {
    UrlParts parts;
    std::size_t p = 0;
    if (!url.empty() && is_alpha(url[0])) {
        std::size_t i = 1;
        while (i < url.size() && is_scheme_char(url[i])) ++i;
        if (i < url.size() && url[i] == ':') {
            parts.scheme = url.substr(0, i);
            parts.has_scheme = true;
            p = i + 1;
        }
    }
    std::string_view rest = url.substr(p);
    if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        parts.fragment = rest.substr(hash + 1);
        parts.has_fragment = true;
        rest = rest.substr(0, hash);
    }
    if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
        parts.query = rest.substr(question + 1);
        parts.has_query = true;
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos) slash = rest.size();
        parts.authority = rest.substr(0, slash);
        parts.has_authority = true;
        rest.remove_prefix(slash);
    }
    parts.path = rest;
    return parts;
}

namespace {

// Whether any byte is white space, a control character or beyond ASCII.
bool has_unplain_byte(std::string_view s) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i above_space = _mm_set1_epi8(0x21);
    for (; i + 16 <= s.size(); i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
        // Signed: bytes beyond ASCII are negative, so below '!' too.
        if (_mm_movemask_epi8(_mm_cmplt_epi8(v, above_space))) return true;
    }
#endif
    for (; i < s.size(); ++i)
        if (static_cast<signed char>(s[i]) < 0x21) return true;
    return false;
}

// An absolute URL with nothing to clean or remove: itself, less its fragment.
// (White space at the end of a fragment goes with the fragment.)
bool plain_absolute(std::string_view reference) {
    std::size_t colon = reference.find(':');
    if (colon == std::string_view::npos || colon == 0 || !is_alpha(reference[0])) return false;
    for (std::size_t i = 1; i < colon; ++i)
        if (!is_scheme_char(reference[i])) return false;
    if (reference.substr(colon + 1, 2) != "//") return false;
    std::string_view before_fragment = reference.substr(0, reference.find('#'));
    return before_fragment.find("/.", colon + 3) == std::string_view::npos && !has_unplain_byte(before_fragment);
}

}  // namespace

Text resolve_into(Arena& arena, std::string_view base, Text reference) {
    if (plain_absolute(reference)) return reference.substr(0, reference.find('#'));
    return arena.keep(resolve(base, reference));
}

std::string resolve(std::string_view base_url, std::string_view reference) {
    if (plain_absolute(reference)) return std::string(reference.substr(0, reference.find('#')));
    const std::string cleaned = clean_reference(reference);
    const UrlParts r = split_url(cleaned);
    const UrlParts b = split_url(base_url);
    std::string_view scheme = r.has_scheme ? r.scheme : b.scheme;
    bool has_scheme = r.has_scheme || b.has_scheme;
    std::string_view authority, query;
    bool has_authority, has_query;
    std::string path;
    if (r.has_scheme || r.has_authority) {
        authority = r.authority, has_authority = r.has_authority;
        path = remove_dot_segments(r.path);
        query = r.query, has_query = r.has_query;
    } else {
        authority = b.authority, has_authority = b.has_authority;
        if (r.path.empty()) {
            path = std::string(b.path);
            query = r.has_query ? r.query : b.query;
            has_query = r.has_query || b.has_query;
        } else {
            if (r.path[0] == '/') {
                path = remove_dot_segments(r.path);
            } else {
                std::string merged;
                if (b.has_authority && b.path.empty()) {
                    merged = "/";
                } else {
                    std::size_t slash = b.path.rfind('/');
                    if (slash != std::string_view::npos) merged = std::string(b.path.substr(0, slash + 1));
                }
                merged.append(r.path);
                path = remove_dot_segments(merged);
            }
            query = r.query, has_query = r.has_query;
        }
    }
    std::string out;
    out.reserve(scheme.size() + authority.size() + path.size() + query.size() + 5);
    if (has_scheme) out.append(scheme).push_back(':');
    if (has_authority) out.append("//").append(authority);
    out.append(path);
    if (has_query) out.append("?").append(query);
    return out;
}

Hashes fragment_hashes(Text reference) {
    Hashes hashes;
    UrlParts parts = split_url(reference);
    std::string_view fragment = parts.fragment;
    while (parts.has_fragment) {
        std::size_t amp = fragment.find('&');
        std::string_view item = fragment.substr(0, amp);
        std::size_t eq = item.find('=');
        if (eq != std::string_view::npos && eq + 1 < item.size() && is_hash_name(item.substr(0, eq)))
            hashes.add(item.substr(0, eq), strip_ascii_space(item.substr(eq + 1)));
        if (amp == std::string_view::npos) break;
        fragment.remove_prefix(amp + 1);
    }
    return hashes;
}

Text last_segment(Arena& arena, Text url) {
    std::string_view path = split_url(url).path;
    std::size_t slash = path.rfind('/');
    std::string_view segment = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (segment.find('%') == std::string_view::npos) return segment;
    std::string out;
    out.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        int high = -1, low = -1;
        if (segment[i] == '%' && i + 2 < segment.size() && (high = hex_digit(segment[i + 1])) >= 0 &&
            (low = hex_digit(segment[i + 2])) >= 0) {
            out.push_back(char(high * 16 + low));
            i += 2;
        } else {
            out.push_back(segment[i]);
        }
    }
    return arena.keep(out);
}

}  // namespace pic::pages
