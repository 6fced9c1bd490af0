// The one top-level METADATA member of a wheel, read from its zip archive
// directly, as steps over the bytes held of it (reading.hpp): the end
// records, then the central directory entry by entry, keeping nothing of the
// entries but the one wanted (a directory of a million members costs what one
// costs), then that member, decompressed a piece at a time. Every size and offset the archive gives is checked against the file
// and the bounds of limits.hpp before any arithmetic on it.
//
// It reads what the standard library's zipfile reads (zip64 records, data
// before the archive, stored, deflate, bzip2 and lzma members) and fails with
// zipfile's messages where zipfile fails on the same archive.
#pragma once

#include <functional>
#include <string_view>

#include "finder/reading.hpp"

namespace pic::finder {

// zipfile's test for the member read: its name, cut at a NUL, is
// "<anything>.dist-info/METADATA" with no other "/".
bool is_top_level_metadata(std::string_view name);

// Hands the METADATA of the wheel held in `file` to `out`, decompressed, a
// piece (a bytes object) at a time; suspends wherever bytes of `file` it
// needs are not held yet. `name` names the wheel in messages (its file name).
// `file` and `name` must outlive the step.
Step<bool> read_metadata_member(Held& file, const Object& name, std::function<void(const Object&)> out);

}  // namespace pic::finder
