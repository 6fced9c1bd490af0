// The core metadata of one wheel on an index, or of the metadata file the
// index announces beside it, read without any I/O of its own: the reader
// says which bytes it wants next, its driver fetches them and hands them in,
// until the reader has the METADATA's Requires-Dist fields or fails with a
// reason. Every rule of the road lives here, whoever drives it: which
// answers are used, the caps of limits.hpp, decoding, the hash check. Two
// drivers: the finder road's blocking requests (wheel_metadata.hpp,
// core_metadata.hpp) and an event loop's (quorvel_master._native's
// WheelMetadataReader, quorvel_master/indexdata/wheel_metadata.py).
//
// A wheel: the last kTail bytes first (a suffix range: the end records and,
// for most wheels, the whole central directory), then each gap of what the
// archive reader needs (zip_archive.hpp): the rest of the directory, then the
// METADATA member with its local header. Where the tail already shows
// METADATA's directory entry, the rest of the directory is asked from that
// member's local header on (at most kWiden more): one request for both. That
// is only a guess of where to start; the archive reader still reads and
// checks the whole directory and asks for whatever it lacks.
//
// A usable partial answer is a 206 naming exactly the range asked, with no
// Content-Encoding and a matching Content-Length, whose body is exactly that
// long. A 200 to the first request is the whole wheel; any other answer to
// it, or an unusable answer
// later (the server stopped honouring ranges), asks for the whole wheel
// anew. A whole wheel is decoded when encoded, counted against its
// Content-Length and limits::kWheel, checked against the hashes, and handed
// back to the driver a piece at a time to keep (never held here); the
// reader then reads it from the driver's copy, a window at a time. A broken
// archive fails at once: downloading it would not mend it.
//
// A metadata file: one request for the whole of it, at most limits::kPacked
// sent, decoded, checked against the hashes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "finder/digests.hpp"
#include "finder/inflate.hpp"
#include "finder/metadata_reader.hpp"
#include "finder/reading.hpp"

namespace pic::finder {

class WheelReader {
public:
    enum class Source { wheel, metadata_file };

    // The first request asks for this much of a wheel's end. Chosen on the
    // wheels of two real graphs (bench/wheel_tail.py): the end records and
    // the directory of most wheels fit, and where they do not the two
    // targeted reads after it cost less than a larger first read would.
    static constexpr int64_t kTail = 10 * 1024;
    // When the tail holds METADATA's directory entry but not the whole
    // directory, the request for the rest of the directory starts at
    // METADATA's local header instead, so one request brings both, if that
    // adds at most this much (what lies between: RECORD, mostly).
    static constexpr int64_t kWiden = 64 * 1024;

    // `url` names the file in messages, `name` the wheel in the archive's
    // (its file name); `hashes` ({hashlib name: hex digest}, or None) check a
    // whole wheel downloaded, or the metadata file. With `whole`, METADATA's
    // bytes are kept too (at most limits::kMetadata), not only its
    // Requires-Dist fields.
    WheelReader(Source source, const Object& url, const Object& name, const Object& hashes, bool whole = false);
    ~WheelReader();
    WheelReader(const WheelReader&) = delete;
    WheelReader& operator=(const WheelReader&) = delete;

    Source source() const { return source_; }

    struct Wanted {
        enum class Kind {
            tail,   // Range: bytes=-<end>
            range,  // Range: bytes=<begin>-<end - 1>
            whole,  // the whole file: no Range
            copy,   // [begin, end) of the driver's copy of the whole wheel
        } kind;
        int64_t begin = 0, end = 0;
    };
    // What to fetch next; nullopt when the read is complete.
    std::optional<Wanted> wanted();

    // The answer to the request for what `wanted` asked (redirects followed;
    // the driver raised for an HTTP error status, but for a 416 to a range
    // request). `headers` has a case-insensitive `get`; `decoded`: the
    // client already decoded the body it will hand in.
    enum class Body {
        skip,   // not used: close it and ask `wanted` again
        range,  // feed it
        whole,  // feed it; each decoded piece goes to `keep`, into the driver's copy
    };
    Body respond(long status, const Object& headers, bool decoded);

    // The body's bytes as they arrive (a bytes object), or for `copy` the
    // bytes of the range asked. False: no more of this body is wanted.
    using Keep = std::function<void(const Object&)>;
    bool feed(const Object& bytes, const Keep& keep);
    // The body has ended (or the copy's range is all handed in).
    void end();

    // Once complete: the Requires-Dist fields as an email.message.Message,
    // their values as a list, and METADATA itself (with `whole`).
    Object message() const;
    Object requirements() const;
    Object metadata() const;

private:
    enum class State { tail, ranges, whole, download, copy, metadata, metadata_body, done, failed };
    struct RangeBody;
    struct WholeBody;

    template <class Work>
    auto failing(Work work);
    std::optional<Wanted> next_from_archive();
    void start_archive(bool ranges, uint64_t size);
    std::optional<RangeBody> usable(long status, const Object& headers) const;
    void start_body(const Object& headers, bool decoded);
    bool feed_whole(const Object& bytes, const Keep& keep);
    void end_range();
    void take(const Object& piece);

    Source source_;
    Object url_, name_, hashes_;
    bool whole_;
    State state_;
    Wanted asked_{Wanted::Kind::tail};
    MetadataReader metadata_;
    std::string kept_metadata_;
    std::unique_ptr<RangeBody> range_;
    std::unique_ptr<WholeBody> body_;
    std::unique_ptr<Held> held_;
    std::optional<Step<bool>> step_;  // reads `held_` and `name_`: declared after them, so gone before them
    std::string copy_;                // the copy's range, as handed in
    std::optional<int64_t> metadata_at_;  // METADATA's local header, as the tail's directory entries say
};

}  // namespace pic::finder
