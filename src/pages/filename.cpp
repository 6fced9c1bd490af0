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

bool is_version(std::string_view text) { return fastpath::pep440::is_version(text); }

std::optional<std::string_view> version_from_filename(std::string_view filename, std::string_view project) {
    if (ends_with_ignoring_case(filename, ".whl")) return wheel_version(filename.substr(0, filename.size() - 4), project);
    if (auto stem = sdist_stem(filename)) return sdist_version(*stem, project);
    return std::nullopt;
}

}  // namespace pic::pages
