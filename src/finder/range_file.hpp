// A file on an index read by HTTP range requests through the finder's
// session, for the archive reader (zip_archive.hpp). What was fetched is
// kept, so the reader's many small reads (end records, directory, local
// header, member) cost a request only where nothing is cached yet; the reader
// announces each larger region before it reads it, so that it comes in one
// request.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "finder/fetch.hpp"
#include "finder/zip_archive.hpp"

namespace pic::finder {

class RangeFile final : public ArchiveFile {
public:
    RangeFile(const Session& session, const Object& url) : session_(session), url_(url) {}

    // The answer to a request for the last `length` bytes (`Range: bytes=-N`):
    // kept, with the file's size, when it is a usable partial answer. False
    // otherwise, with the body left unread for the caller.
    bool take_tail(const Object& response, int64_t length, Pace& pace);

    // The server stopped honouring ranges after the first answer (a 200, a
    // 416, an unusable Content-Range): the reads failed because of that.
    bool refused() const { return refused_; }

    uint64_t size() const override { return uint64_t(size_); }
    Object read(uint64_t offset, uint64_t length) override;
    void will_read(uint64_t begin, uint64_t end) override;

private:
    std::optional<std::string> usable_body(const Object& response, int64_t begin, int64_t end_or_tail, Pace& pace);
    void fetch(int64_t begin, int64_t end);

    Session session_;
    Object url_;
    int64_t size_ = -1;
    int64_t kept_ = 0;
    bool refused_ = false;
    std::map<int64_t, std::string> spans_;  // begin -> bytes; disjoint
};

}  // namespace pic::finder
