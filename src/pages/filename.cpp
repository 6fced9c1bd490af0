#include "pages/filename.hpp"

#include "fastpath/pep440_grammar.hpp"
#include "pages/text.hpp"

namespace pic::pages {

namespace {

bool ends_with_ignoring_case(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && equal_ignoring_ascii_case(s.substr(s.size() - suffix.size()), suffix);
}

// The sdist archive formats installers accept.
std::optional<std::string_view> sdist_stem(std::string_view filename) {
    static constexpr std::string_view extensions[] = {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.lz", ".tar.lzma",
                                                      ".tgz",    ".tbz",     ".txz",    ".tlz",    ".tar",
                                                      ".zip"};
    for (std::string_view ext : extensions)
        if (ends_with_ignoring_case(filename, ext)) return filename.substr(0, filename.size() - ext.size());
    return std::nullopt;
}

// The length of the white space character (str.isspace) beyond ASCII that
// `s` starts with, as UTF-8, or 0; `at_end`: that `s` ends with.
std::size_t wide_space(std::string_view s, bool at_end) {
    static constexpr std::string_view spaces[] = {
        "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
        "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
        "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
        "\xe3\x80\x80"};
    for (std::string_view space : spaces)
        if (at_end ? s.ends_with(space) : s.starts_with(space)) return space.size();
    return 0;
}

// The text without white space around it, ASCII or not (interleaved too).
std::string_view strip_space(std::string_view s) {
    using fastpath::pep440::is_space;
    while (!s.empty()) {
        if (is_space(s.front())) s.remove_prefix(1);
        else if (std::size_t n = static_cast<unsigned char>(s.front()) >= 0xc2 ? wide_space(s, false) : 0) s.remove_prefix(n);
        else break;
    }
    while (!s.empty()) {
        if (is_space(s.back())) s.remove_suffix(1);
        else if (std::size_t n = static_cast<unsigned char>(s.back()) >= 0x80 ? wide_space(s, true) : 0) s.remove_suffix(n);
        else break;
    }
    return s;
}

std::optional<std::string_view> wheel_version(std::string_view stem, std::string_view project) {
    std::string_view fields[7];
    std::size_t count = 0;
    while (count < 7) {
        std::size_t dash = stem.find('-');
        fields[count++] = stem.substr(0, dash);
        if (dash == std::string_view::npos) break;
        stem.remove_prefix(dash + 1);
    }
    if (count != 5 && count != 6) return std::nullopt;
    if (!same_name(fields[0], project) || !is_version(fields[1])) return std::nullopt;
    return fields[1];
}

// The first '-' whose left side is the project's name: names with dashes
// of their own are read right.
std::optional<std::string_view> sdist_version(std::string_view stem, std::string_view project) {
    for (std::size_t dash = stem.find('-'); dash != std::string_view::npos; dash = stem.find('-', dash + 1)) {
        if (!same_name(stem.substr(0, dash), project)) continue;
        std::string_view version = stem.substr(dash + 1);
        if (is_version(version)) return version;
    }
    return std::nullopt;
}

}  // namespace

bool is_version(std::string_view text) {
    // Beyond ASCII, only a byte of a multi-byte character at either end can begin white space.
    bool wide = !text.empty() && (static_cast<unsigned char>(text.front()) >= 0x80 ||
                                  static_cast<unsigned char>(text.back()) >= 0x80);
    return fastpath::pep440::is_version(wide ? strip_space(text) : text);
}

std::optional<std::string_view> version_from_filename(std::string_view filename, std::string_view project) {
    if (ends_with_ignoring_case(filename, ".whl")) return wheel_version(filename.substr(0, filename.size() - 4), project);
    if (auto stem = sdist_stem(filename)) return sdist_version(*stem, project);
    return std::nullopt;
}

}  // namespace pic::pages
