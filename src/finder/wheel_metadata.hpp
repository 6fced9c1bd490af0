// The core metadata inside a wheel on an index, without downloading the wheel
// when the server answers range requests: the sans-I/O reader of
// wheel_reader.hpp, driven by blocking requests through the finder's session.
#pragma once

#include "finder/fetch.hpp"
#include "finder/wheel_reader.hpp"

namespace pic::finder {

// Fetches what `reader` asks for from `url` until it is complete: each
// request with Accept-Encoding identity, redirects followed (open_stream),
// within the session's time-out in all, but a whole wheel, which must bring
// limits::kLeastProgress in every time-out period. A whole wheel goes into a
// temporary file (it has no name to leave behind) that the reader then reads
// from; the file is closed, and so gone, on every way out.
void drive(const Session& session, const Object& url, WheelReader& reader);

// The Requires-Dist fields of the wheel's one top-level
// "<name>.dist-info/METADATA" member, as an email.message.Message: about
// three requests, a few dozen KiB, whatever the wheel's size, when the server
// honours ranges; otherwise the wheel streamed once, checked against the
// link's hash.
Object wheel_core_metadata(const Session& session, const Object& link);

}  // namespace pic::finder
