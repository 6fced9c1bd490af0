// The core metadata of one distribution file found by a package finder.
#pragma once

#include "runtime/ref.hpp"

namespace pic::finder {

// finder.get_metadata(link) when the finder has that method. Otherwise the
// metadata is read through the finder's own session (its auth, certificates
// and trusted hosts apply): the metadata file the index announces beside the
// file (PEP 658/714), checked against the announced hash, else the
// .dist-info/METADATA member of a wheel, by range requests or a streamed
// download (wheel_metadata.hpp). Either is read a piece at a time and only its
// Requires-Dist fields are kept (metadata_reader.hpp). Gives an
// email.message.Message, or None for a source distribution without announced
// metadata (reading it would mean building it).
Object read_core_metadata(const Object& finder, const Object& link);

}  // namespace pic::finder
