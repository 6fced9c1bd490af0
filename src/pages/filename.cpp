#include "pages/filename.hpp"

#include <initializer_list>

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z'); }
bool is_separator(char c) { return c == '-' || c == '_' || c == '.'; }

// Matches packaging's version pattern from the front of the text.
class VersionMatch {
public:
    explicit VersionMatch(std::string_view s) : s_(s) {}

    bool whole() {
        if (at_letter('v')) ++p_;
        std::size_t save = p_;
        if (!(digits() && at('!'))) p_ = save;
        else ++p_;
        if (!digits()) return false;
        while (at('.') && p_ + 1 < s_.size() && is_digit(s_[p_ + 1])) {
            ++p_;
            digits();
        }
        labelled({"alpha", "a", "beta", "b", "preview", "pre", "c", "rc"});
        if (at('-') && p_ + 1 < s_.size() && is_digit(s_[p_ + 1])) {
            ++p_;
            digits();
        } else {
            labelled({"post", "rev", "r"});
        }
        labelled({"dev"});
        if (at('+') && p_ + 1 < s_.size() && is_alnum(s_[p_ + 1])) {
            ++p_;
            while (true) {
                while (p_ < s_.size() && is_alnum(s_[p_])) ++p_;
                if (p_ + 1 >= s_.size() || !is_separator(s_[p_]) || !is_alnum(s_[p_ + 1])) break;
                ++p_;
            }
        }
        return p_ == s_.size();
    }

private:
    bool at(char c) const { return p_ < s_.size() && s_[p_] == c; }
    bool at_letter(char c) const { return p_ < s_.size() && ascii_lower(s_[p_]) == c; }
    bool digits() {
        std::size_t start = p_;
        while (p_ < s_.size() && is_digit(s_[p_])) ++p_;
        return p_ > start;
    }
    // [-_.]? word [-_.]? digits?, the first word that the text continues with
    // (ignoring case); nothing taken when none does.
    void labelled(std::initializer_list<std::string_view> words) {
        std::size_t save = p_;
        if (p_ < s_.size() && is_separator(s_[p_])) ++p_;
        if (p_ >= s_.size() || is_digit(s_[p_]) || !is_alnum(s_[p_])) {  // no word here
            p_ = save;
            return;
        }
        for (std::string_view w : words) {
            if (equal_ignoring_ascii_case(s_.substr(p_, w.size()), w)) {
                p_ += w.size();
                if (p_ < s_.size() && is_separator(s_[p_])) ++p_;
                digits();
                return;
            }
        }
        p_ = save;
    }

    std::string_view s_;
    std::size_t p_ = 0;
};

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

bool is_version(std::string_view text) { return VersionMatch(strip_ascii_space(text)).whole(); }

std::optional<std::string_view> version_from_filename(std::string_view filename, std::string_view project) {
    if (ends_with_ignoring_case(filename, ".whl")) return wheel_version(filename.substr(0, filename.size() - 4), project);
    if (auto stem = sdist_stem(filename)) return sdist_version(*stem, project);
    return std::nullopt;
}

}  // namespace pic::pages
