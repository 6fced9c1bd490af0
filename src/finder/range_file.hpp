// A file on an index as the seekable binary file that zipfile reads: read,
// seek and tell over byte ranges that HTTP range requests fetch on demand
// through the finder's session. What was fetched is kept, so zipfile's many
// small reads (end records, directory, local header, member) cost a request
// only where nothing is cached yet; a miss also reads ahead a little.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "finder/fetch.hpp"

namespace pic::finder {

class RangeFile {
public:
    // The Python object (the module's own native type) over `url`.
    static Object create(const Session& session, const Object& url);
    static RangeFile& of(const Object& file);

    // The answer to a request for the last `length` bytes (`Range: bytes=-N`):
    // kept, with the file's size, when it is a usable partial answer. False
    // otherwise, with the body left unread for the caller.
    bool take_tail(const Object& response, int64_t length);

    // Makes sure [begin, end) is cached, with one request at most.
    void prefetch(int64_t begin, int64_t end) { ensure(begin, end, 0); }

    // The server stopped honouring ranges after the first answer (a 200, a
    // 416, an unusable Content-Range): the reads failed because of that.
    bool refused() const { return refused_; }

    // The Python file protocol, as zipfile uses it.
    Object read(int64_t size);
    int64_t seek(int64_t offset, int whence);
    int64_t tell() const { return position_; }

    int traverse(visitproc visit, void* arg);
    void clear();

private:
    RangeFile(const Session& session, const Object& url) : session_(session), url_(url) {}
    std::optional<std::string> usable_body(const Object& response, int64_t begin, int64_t end_or_tail);
    void ensure(int64_t begin, int64_t end, int64_t read_ahead);
    void fetch(int64_t begin, int64_t end);
    void keep(int64_t begin, std::string bytes);
    const std::string* span_holding(int64_t offset, int64_t* span_begin) const;

    Session session_;
    Object url_;
    int64_t size_ = -1;
    int64_t position_ = 0;
    int64_t kept_ = 0;  // bytes received (overlaps counted twice: an upper bound)
    bool refused_ = false;
    std::map<int64_t, std::string> spans_;  // begin -> bytes; disjoint, not adjacent
};

}  // namespace pic::finder
