// The one top-level METADATA member of a wheel, read from its zip archive
// directly: the end records, then the central directory entry by entry,
// keeping nothing of the entries but the one wanted (a directory of a million
// members costs what one costs), then that member, decompressed a piece at a
// time. Every size and offset the archive gives is checked against the file
// and the bounds of limits.hpp before any arithmetic on it.
//
// It reads what the standard library's zipfile reads (zip64 records, data
// before the archive, stored, deflate, bzip2 and lzma members) and fails with
// zipfile's messages where zipfile fails on the same archive.
#pragma once

#include <cstdint>
#include <functional>

#include "runtime/ref.hpp"

namespace pic::finder {

// A file read at offsets: the wheel on the server by range requests, or its
// downloaded copy.
class ArchiveFile {
public:
    virtual ~ArchiveFile() = default;
    virtual uint64_t size() const = 0;
    // The bytes [offset, offset + length), as a bytes object; fewer only
    // where the file ends.
    virtual Object read(uint64_t offset, uint64_t length) = 0;
    // [begin, end) is about to be read, in pieces: a file over ranges
    // fetches what it misses of it in one request.
    virtual void will_read(uint64_t begin, uint64_t end) {
        (void)begin;
        (void)end;
    }
};

// Hands the METADATA of the wheel in `file` to `out`, decompressed, a piece
// (a bytes object) at a time. `link` names the wheel in messages.
void read_metadata_member(ArchiveFile& file, const Object& link, const std::function<void(const Object&)>& out);

}  // namespace pic::finder
