// The HTML form of a project page (PEP 503 and its data-* attributes and
// <meta> tags): a tolerant scan for the few tags that matter (a, base, meta),
// attributes read as Python's HTMLParser reads them, comments and raw text
// elements skipped. The first <base> anywhere counts for every link.
#include <cstring>
#include <optional>
#include <vector>

#include "pages/page.hpp"
#include "pages/text.hpp"
#include "pages/url.hpp"

namespace pic::pages {

namespace {

using Value = std::optional<std::string_view>;  // an attribute's raw value; empty optional: not given

struct Anchor {
    Value href, requires_python, yanked, core_metadata, dist_info_metadata, provenance, gpg_sig;
    bool is_yanked = false;
    std::string_view text;
};

struct Meta {
    Value name, content;
};

bool is_space(char c) { return is_ascii_space(c); }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

class Scanner {
public:
    explicit Scanner(std::string_view body) : s_(body) {}

    std::size_t find(std::string_view what, std::size_t from) const {
        std::size_t at = s_.find(what, from);
        return at == std::string_view::npos ? s_.size() : at;
    }

    // Position after the first case-insensitive `</name` at or after `from`.
    std::size_t skip_raw_text(std::string_view name, std::size_t from) const {
        for (std::size_t p = find("</", from); p < s_.size(); p = find("</", p + 2)) {
            if (equal_ignoring_ascii_case(s_.substr(p + 2, name.size()), name)) return p + 2 + name.size();
        }
        return s_.size();
    }

    // A start tag's name, from just after '<'; moves `p` past it.
    std::string_view tag_name(std::size_t& p) const {
        std::size_t start = p;
        while (p < s_.size() && !is_space(s_[p]) && s_[p] != '/' && s_[p] != '>') ++p;
        return s_.substr(start, p - start);
    }

    // The attributes of a start tag up to its '>': calls visit(name, value)
    // for each. Returns the position after '>', or npos when the tag never ends.
    template <class Visit>
    std::size_t attributes(std::size_t p, Visit&& visit) const {
        const std::size_t n = s_.size();
        while (true) {
            while (p < n && (is_space(s_[p]) || (s_[p] == '/' && (p + 1 >= n || s_[p + 1] != '>')))) ++p;
            if (p >= n) return std::string_view::npos;
            if (s_[p] == '/') ++p;  // "/>"
            if (s_[p] == '>') return p + 1;
            std::size_t start = p++;
            while (p < n && !is_space(s_[p]) && s_[p] != '/' && s_[p] != '=' && s_[p] != '>') ++p;
            std::string_view name = s_.substr(start, p - start);
            std::size_t after_name = p;
            while (p < n && is_space(s_[p])) ++p;
            if (p >= n || s_[p] != '=') {
                visit(name, Value{});
                p = after_name;
                continue;
            }
            while (p < n && s_[p] == '=') ++p;
            while (p < n && is_space(s_[p])) ++p;
            if (p < n && (s_[p] == '"' || s_[p] == '\'')) {
                std::size_t close = s_.find(s_[p], p + 1);
                if (close == std::string_view::npos) return std::string_view::npos;
                visit(name, Value{s_.substr(p + 1, close - p - 1)});
                p = close + 1;
            } else {
                std::size_t vstart = p;
                while (p < n && !is_space(s_[p]) && s_[p] != '>') ++p;
                visit(name, Value{s_.substr(vstart, p - vstart)});
            }
        }
    }

    std::string_view s_;
};

void keep_first(Value& slot, Value value) {
    if (!slot) slot = value ? value : Value{std::string_view{}};
}

bool named(std::string_view name, std::string_view expected) { return equal_ignoring_ascii_case(name, expected); }

Anchor read_anchor(const Scanner& scan, std::size_t& p) {
    Anchor a;
    bool yanked_seen = false;
    p = scan.attributes(p, [&](std::string_view name, Value value) {
        if (named(name, "href")) {
            if (!a.href && value) a.href = value;
        } else if (named(name, "data-requires-python")) {
            keep_first(a.requires_python, value);
        } else if (named(name, "data-yanked")) {
            if (!yanked_seen) a.yanked = value;
            yanked_seen = true;
        } else if (named(name, "data-core-metadata")) {
            keep_first(a.core_metadata, value);
        } else if (named(name, "data-dist-info-metadata")) {
            keep_first(a.dist_info_metadata, value);
        } else if (named(name, "data-provenance")) {
            keep_first(a.provenance, value);
        } else if (named(name, "data-gpg-sig")) {
            keep_first(a.gpg_sig, value);
        }
    });
    a.is_yanked = yanked_seen;
    if (p != std::string_view::npos) {
        std::size_t end = scan.find("<", p);
        a.text = scan.s_.substr(p, end - p);
    }
    return a;
}

std::optional<Text> decoded(Arena& arena, Value value) {
    if (!value) return std::nullopt;
    return unescape_into(arena, *value);
}

CoreMetadata core_metadata(std::optional<Text> value) {
    CoreMetadata m;
    if (!value) return m;
    Text text = strip_ascii_space(*value);
    if (equal_ignoring_ascii_case(text, "true")) {
        m.present = true;
    } else if (std::size_t eq = text.find('='); eq != Text::npos && eq > 0 && eq + 1 < text.size()) {
        m.present = true;
        m.hashes.add(text.substr(0, eq), text.substr(eq + 1));
    }
    return m;
}

File file_of(Arena& arena, const Anchor& a, const std::string& base) {
    File f;
    const Text href = unescape_into(arena, *a.href);
    f.url = resolve_into(arena, base, href);
    f.hashes = fragment_hashes(href);
    f.filename = last_segment(arena, f.url);
    if (f.filename.empty()) f.filename = strip_ascii_space(unescape_into(arena, a.text));
    f.requires_python = decoded(arena, a.requires_python);
    if (f.requires_python && f.requires_python->empty()) f.requires_python.reset();
    // PEP 714: the new spelling wins wherever it is given.
    f.core_metadata = core_metadata(decoded(arena, a.core_metadata ? a.core_metadata : a.dist_info_metadata));
    f.yanked = a.is_yanked;
    if (a.is_yanked && a.yanked && !a.yanked->empty()) f.yanked_reason = unescape_into(arena, *a.yanked);
    if (auto provenance = decoded(arena, a.provenance); provenance && !strip_ascii_space(*provenance).empty())
        f.provenance = resolve_into(arena, base, *provenance);
    if (auto sig = decoded(arena, a.gpg_sig)) {
        Text text = strip_ascii_space(*sig);
        if (equal_ignoring_ascii_case(text, "true")) f.gpg_sig = true;
        if (equal_ignoring_ascii_case(text, "false")) f.gpg_sig = false;
    }
    return f;
}

void apply_meta(Page& page, const std::string& page_url, const Meta& meta) {
    if (!meta.name || !meta.content) return;
    Text name = strip_ascii_space(*meta.name);
    Text content = unescape_into(page.arena, *meta.content);
    if (named(name, "pypi:repository-version")) {
        if (!page.api_version) page.api_version = strip_ascii_space(content);
    } else if (named(name, "pypi:project-status")) {
        if (!page.status) page.status = strip_ascii_space(content);
    } else if (named(name, "pypi:project-status-reason")) {
        if (!page.status_reason) page.status_reason = content;
    } else if (named(name, "pypi:tracks")) {
        page.tracks.push_back(resolve_into(page.arena, page_url, content));
    } else if (named(name, "pypi:alternate-locations")) {
        page.alternate_locations.push_back(resolve_into(page.arena, page_url, content));
    }
}

// The position after a tag that is skipped whole, from the '<'.
std::size_t skip_markup(const Scanner& scan, std::size_t lt) {
    std::string_view s = scan.s_;
    if (s.substr(lt, 4) == "<!--") {
        std::size_t end = scan.find("-->", lt + 4);
        return end == s.size() ? end : end + 3;
    }
    std::size_t end = scan.find(">", lt + 1);
    return end == s.size() ? end : end + 1;
}

// One pass over the page. Links are resolved against the base known when
// they are read; a first <base> after links asks for another pass (false).
class Pass {
public:
    Pass(std::string_view body, const std::string& url, std::string_view project, FileSink& sink,
         std::optional<std::string> base)
        : scan_(body), url_(url), project_(project), sink_(sink), base_(std::move(base)), base_fixed_(bool(base_)) {}

    bool run(Page& page) {
        std::string_view body = scan_.s_;
        std::size_t p = 0;
        while (p != std::string_view::npos) {
            const void* lt = p < body.size() ? std::memchr(body.data() + p, '<', body.size() - p) : nullptr;
            if (!lt) break;
            std::size_t at = std::size_t(static_cast<const char*>(lt) - body.data());
            if (at + 1 >= body.size()) break;
            char next = body[at + 1];
            if (next == '!' || next == '?' || next == '/') {
                p = skip_markup(scan_, at);
            } else if (!is_alpha(next)) {
                p = at + 1;
            } else {
                p = at + 1;
                if (!tag(page, p)) return false;
            }
        }
        return true;
    }

    const std::optional<std::string>& base() const { return base_; }

private:
    // The tag whose name starts at p; p moves past it (npos: it never ends,
    // and the page ends there).
    bool tag(Page& page, std::size_t& p) {
        std::string_view name = scan_.tag_name(p);
        if (named(name, "a")) {
            Anchor a = read_anchor(scan_, p);
            if (a.href && p != std::string_view::npos) {
                File f = file_of(page.arena, a, base_ ? *base_ : url_);
                emit(page, f, project_, sink_);
                files_ = true;
            }
        } else if (named(name, "base")) {
            Value href;
            p = scan_.attributes(p, [&](std::string_view attr, Value value) {
                if (!href && value && named(attr, "href")) href = value;
            });
            if (href && !base_fixed_) {
                base_ = resolve(url_, unescape(*href));
                base_fixed_ = true;
                if (files_) return false;
            }
        } else if (named(name, "meta")) {
            Meta meta;
            p = scan_.attributes(p, [&](std::string_view attr, Value value) {
                if (named(attr, "name")) keep_first(meta.name, value);
                if (named(attr, "content")) keep_first(meta.content, value);
            });
            apply_meta(page, url_, meta);
        } else {
            p = scan_.attributes(p, [](std::string_view, Value) {});
            for (std::string_view raw : {"script", "style", "title", "textarea"})
                if (p != std::string_view::npos && named(name, raw)) p = scan_.skip_raw_text(raw, p);
        }
        return true;
    }

    Scanner scan_;
    const std::string& url_;
    std::string_view project_;
    FileSink& sink_;
    std::optional<std::string> base_;
    bool base_fixed_;  // the first <base> is read (or known from the pass before)
    bool files_ = false;
};

}  // namespace

Page parse_html(std::string_view body, std::string_view page_url, std::string_view project, FileSink& sink) {
    const std::string url(page_url);
    const std::string normalized = normalize_name(project);
    Page page;
    page.format = Format::html;
    Pass first(body, url, normalized, sink, std::nullopt);
    if (!first.run(page)) {
        sink.restart();
        page = Page();
        page.format = Format::html;
        Pass second(body, url, normalized, sink, first.base());
        second.run(page);
    }
    if (page.api_version) check_api_version(*page.api_version);
    return page;
}

}  // namespace pic::pages
