// The core metadata inside a wheel on an index, without downloading the wheel
// when the server answers range requests.
#pragma once

#include "finder/fetch.hpp"

namespace pic::finder {

// The Requires-Dist fields of the wheel's one top-level
// "<name>.dist-info/METADATA" member, as an email.message.Message
// (metadata_reader.hpp).
//
// Range road: the tail of the file first (end records, zip64 locator and
// record, and for most wheels the whole central directory), then the rest of
// the directory if it is larger (one request), then the member alone:
// about three requests, a few dozen KiB, whatever the wheel's size.
//
// When the server does not honour ranges (a 200 with the whole body, a 416,
// an unusable Content-Range or Content-Length), the wheel is streamed into a
// temporary file instead (never held in memory; at most limits::kWheel, and
// never more than announced), checked against the link's hash when it has
// one, read from there and deleted at once.
Object wheel_core_metadata(const Session& session, const Object& link);

}  // namespace pic::finder
