// URL references of project pages: resolved against the page (RFC 3986,
// section 5), their fragments split off and read as hashes, their last path
// segment read as a filename.
#pragma once

#include <string>
#include <string_view>

#include "pages/page.hpp"

namespace pic::pages {

// A URL cut into its five parts; absent parts are empty and flagged.
struct UrlParts {
    std::string_view scheme, authority, path, query, fragment;
    bool has_scheme = false, has_authority = false, has_query = false, has_fragment = false;
};
UrlParts split_url(std::string_view url);

// `reference` resolved against the absolute URL `base` (the algorithm of
// RFC 3986 5.2.2, dot segments removed), its fragment left out. Leading and
// trailing white space of the reference is ignored, as browsers do.
std::string resolve(std::string_view base, std::string_view reference);
// The same, a view of `reference` itself where it is absolute with nothing to
// change, else kept in `arena`.
Text resolve_into(Arena& arena, std::string_view base, Text reference);

// The fragment of a file URL as hashes: "sha256=abc" gives {sha256: abc};
// anything else gives none. The hashes are views of `reference`.
Hashes fragment_hashes(Text reference);

// The last segment of the URL's path, percent-decoded (kept in `arena` when
// there is something to decode).
Text last_segment(Arena& arena, Text url);

}  // namespace pic::pages
