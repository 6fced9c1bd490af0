// RFC 3339 times, as PEP 700's upload-time writes them.
#pragma once

#include <optional>
#include <string_view>

#include "pages/page.hpp"

namespace pic::pages {

// "2024-06-01T12:30:45.123456Z", "2024-06-01 12:30:45+02:00", ...: date, 'T'
// (or 't' or a space), time with seconds, an optional fraction (cut to
// microseconds), and 'Z' or an offset. None for anything else, including
// dates that do not exist and leap seconds, which a datetime cannot hold.
std::optional<Timestamp> parse_rfc3339(std::string_view text);

}  // namespace pic::pages
