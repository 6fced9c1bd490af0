// Which redirects this road follows, and with which headers: the one rule,
// for the finder's blocking requests (fetch.hpp) and for the event loop's
// reader of wheel metadata (quorvel_master._native).
#pragma once

#include <optional>

#include "runtime/ref.hpp"

namespace pic::finder {

struct Hop {
    Object url;      // where to send the request next
    Object headers;  // and with what: Authorization and Cookie dropped once it goes to another origin
};

// The answer `status` with its Location header `location` (None when it has
// none) to a request for `url` with `headers`, `made` redirects after asking
// for `first`: the next request when it is a redirect to follow (301, 302,
// 303, 307, 308 with a Location; http and https only; at most
// limits::kRedirects), nullopt when it is no redirect, a ValueError for a
// redirect not followed.
std::optional<Hop> next_hop(const Object& first, const Object& url, long status, const Object& location,
                            const Object& headers, int made);

}  // namespace pic::finder
